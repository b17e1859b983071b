#include <windows.h>

#include "platform/process_test_support.h"

namespace corvane::test {

struct HeldStdin::State {
  HANDLE saved = nullptr;
  HANDLE read_end = nullptr;
  HANDLE write_end = nullptr;
};

HeldStdin::HeldStdin() : state_(std::make_unique<State>()) {
  state_->saved = GetStdHandle(STD_INPUT_HANDLE);
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  if (CreatePipe(&state_->read_end, &state_->write_end, &inherit, 0)) {
    SetStdHandle(STD_INPUT_HANDLE, state_->read_end);
  }
}

HeldStdin::~HeldStdin() {
  SetStdHandle(STD_INPUT_HANDLE, state_->saved);
  if (state_->read_end) CloseHandle(state_->read_end);
  if (state_->write_end) CloseHandle(state_->write_end);
}

bool process_is_gone(long pid) {
  HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(pid));
  if (!process) return true;
  bool ended = WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
  CloseHandle(process);
  return ended;
}

bool process_has_ended(long pid) { return process_is_gone(pid); }

char path_list_separator() { return ';'; }

}  // namespace corvane::test
