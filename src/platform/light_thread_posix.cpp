#include <pthread.h>

#include <cerrno>
#include <memory>
#include <system_error>
#include <utility>

#include "platform/runtime.h"

namespace corvane::runtime {

namespace {

void* run(void* argument) {
  std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(argument));
  (*body)();
  return nullptr;
}

}  // namespace

LightThread::LightThread(std::function<void()> body) {
  auto owned = std::make_unique<std::function<void()>>(std::move(body));
  pthread_attr_t attributes;
  if (int failed = pthread_attr_init(&attributes)) throw std::system_error(failed, std::generic_category());
  pthread_attr_setstacksize(&attributes, kStackBytes);
  auto* thread = new pthread_t;
  int failed = pthread_create(thread, &attributes, run, owned.get());
  pthread_attr_destroy(&attributes);
  if (failed != 0) {
    delete thread;
    throw std::system_error(failed, std::generic_category(), "no thread could be started");
  }
  owned.release();  // the thread's now
  handle_ = thread;
}

LightThread::LightThread(LightThread&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}

LightThread::~LightThread() { join(); }

void LightThread::join() {
  if (handle_ == nullptr) return;
  auto* thread = static_cast<pthread_t*>(handle_);
  pthread_join(*thread, nullptr);
  delete thread;
  handle_ = nullptr;
}

}  // namespace corvane::runtime
