#include <windows.h>

#include <memory>
#include <system_error>
#include <utility>

#include "platform/runtime.h"

namespace corvane::runtime {

namespace {

DWORD WINAPI run(void* argument) {
  std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(argument));
  (*body)();
  return 0;
}

}  // namespace

LightThread::LightThread(std::function<void()> body) {
  auto owned = std::make_unique<std::function<void()>>(std::move(body));
  // The size is what the thread reserves, not what it commits at once.
  HANDLE thread = CreateThread(nullptr, kStackBytes, run, owned.get(), STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  if (thread == nullptr) {
    throw std::system_error(static_cast<int>(GetLastError()), std::system_category(), "no thread could be started");
  }
  owned.release();  // the thread's now
  handle_ = thread;
}

LightThread::LightThread(LightThread&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}

LightThread::~LightThread() { join(); }

void LightThread::join() {
  if (handle_ == nullptr) return;
  WaitForSingleObject(handle_, INFINITE);
  CloseHandle(handle_);
  handle_ = nullptr;
}

}  // namespace corvane::runtime
