#include <windows.h>
#include <tlhelp32.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <unordered_map>

#include "platform/process.h"
#include "platform/process_tree.h"

namespace corvane::platform {

namespace {

using Clock = std::chrono::steady_clock;

std::wstring widen(std::string_view text) {
  if (text.empty()) return {};
  int count = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(count), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), count);
  return wide;
}

std::string narrow(std::wstring_view text) {
  if (text.empty()) return {};
  int count = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  std::string utf8(static_cast<std::size_t>(count), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), utf8.data(), count, nullptr, nullptr);
  return utf8;
}

std::string system_message(DWORD code) {
  wchar_t* text = nullptr;
  DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string message;
  if (length > 0 && text) message = narrow(std::wstring_view(text, length));
  if (text) LocalFree(text);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == ' ')) {
    message.pop_back();
  }
  if (message.empty()) message = "system error " + std::to_string(code);
  return message;
}

class Handle {
 public:
  explicit Handle(HANDLE h = nullptr) : h_(h == INVALID_HANDLE_VALUE ? nullptr : h) {}
  ~Handle() { reset(); }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  Handle(Handle&& other) noexcept : h_(other.release()) {}
  Handle& operator=(Handle&& other) noexcept {
    if (this != &other) {
      reset();
      h_ = other.release();
    }
    return *this;
  }
  HANDLE get() const { return h_; }
  HANDLE release() {
    HANDLE h = h_;
    h_ = nullptr;
    return h;
  }
  void reset() {
    if (h_) CloseHandle(h_);
    h_ = nullptr;
  }

 private:
  HANDLE h_;
};

constexpr DWORD kExitPollMilliseconds = 10;
constexpr DWORD kPipeBufferBytes = 65536;

// Reads what `pipe` holds now, never blocking: anonymous pipes have no
// overlapped reads, so the bytes are counted first. Resets the handle once
// every writer has closed its end (or on a read error).
bool read_buffered(Handle& pipe, std::string& sink) {
  if (!pipe.get()) return false;
  DWORD pending = 0;
  if (!PeekNamedPipe(pipe.get(), nullptr, 0, nullptr, &pending, nullptr)) {
    pipe.reset();
    return false;
  }
  bool any = false;
  char buffer[65536];
  while (pending > 0) {
    DWORD got = 0;
    DWORD want = pending < sizeof buffer ? pending : static_cast<DWORD>(sizeof buffer);
    if (!ReadFile(pipe.get(), buffer, want, &got, nullptr) || got == 0) {
      pipe.reset();
      break;
    }
    sink.append(buffer, got);
    pending -= got;
    any = true;
  }
  return any;
}

struct Pipes {
  Handle null_in;
  Handle out_read, out_write;
  Handle err_read, err_write;
};

Result<Unit> open_pipes(Pipes& pipes) {
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  pipes.null_in = Handle(CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!pipes.null_in.get()) return make_error(system_message(GetLastError()));
  HANDLE read_end = nullptr;
  HANDLE write_end = nullptr;
  if (!CreatePipe(&read_end, &write_end, &inherit, kPipeBufferBytes)) return make_error(system_message(GetLastError()));
  pipes.out_read = Handle(read_end);
  pipes.out_write = Handle(write_end);
  if (!CreatePipe(&read_end, &write_end, &inherit, kPipeBufferBytes)) return make_error(system_message(GetLastError()));
  pipes.err_read = Handle(read_end);
  pipes.err_write = Handle(write_end);
  SetHandleInformation(pipes.out_read.get(), HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(pipes.err_read.get(), HANDLE_FLAG_INHERIT, 0);
  return ok_status();
}

// Limits inheritance to exactly the three standard handles, whatever other
// inheritable handles the server holds at that moment.
class HandleList {
 public:
  explicit HandleList(const Pipes& pipes)
      : handles_{pipes.null_in.get(), pipes.out_write.get(), pipes.err_write.get()} {
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    storage_ = std::make_unique<char[]>(size);
    list_ = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage_.get());
    if (!InitializeProcThreadAttributeList(list_, 1, 0, &size)) {
      list_ = nullptr;
      return;
    }
    if (!UpdateProcThreadAttribute(list_, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles_, sizeof handles_,
                                   nullptr, nullptr)) {
      DeleteProcThreadAttributeList(list_);
      list_ = nullptr;
    }
  }
  ~HandleList() {
    if (list_) DeleteProcThreadAttributeList(list_);
  }
  HandleList(const HandleList&) = delete;
  HandleList& operator=(const HandleList&) = delete;
  LPPROC_THREAD_ATTRIBUTE_LIST get() const { return list_; }

 private:
  HANDLE handles_[3];
  std::unique_ptr<char[]> storage_;
  LPPROC_THREAD_ATTRIBUTE_LIST list_ = nullptr;
};

std::atomic<bool> g_refuse_tree_jobs{false};

std::int64_t ticks(const FILETIME& t) {
  return static_cast<std::int64_t>((static_cast<std::uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime);
}

// The time now, never earlier than the true time: the plain clock lags by
// up to a timer tick, so without the precise one (Windows 8 and later) a
// tick is added.
std::int64_t system_time_at_least_now() {
  using Precise = void(WINAPI*)(LPFILETIME);
  static const Precise precise = [] {
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    FARPROC found = kernel != nullptr ? GetProcAddress(kernel, "GetSystemTimePreciseAsFileTime") : nullptr;
    return reinterpret_cast<Precise>(reinterpret_cast<void*>(found));
  }();
  FILETIME now;
  if (precise != nullptr) {
    precise(&now);
    return ticks(now);
  }
  GetSystemTimeAsFileTime(&now);
  constexpr std::int64_t kOneTick = 160'000;  // 16 ms, above the default 15.6 ms
  return ticks(now) + kOneTick;
}

// The id of the process that created `process`, as the process itself
// records it (NtQueryInformationProcess, ProcessBasicInformation).
std::optional<std::uint32_t> creator_of(HANDLE process) {
  struct BasicInformation {
    LONG exit_status;
    PVOID peb;
    ULONG_PTR affinity;
    LONG base_priority;
    ULONG_PTR id;
    ULONG_PTR creator;
  };
  using Query = LONG(WINAPI*)(HANDLE, ULONG, PVOID, ULONG, PULONG);
  static const Query query = [] {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    FARPROC found = ntdll != nullptr ? GetProcAddress(ntdll, "NtQueryInformationProcess") : nullptr;
    return reinterpret_cast<Query>(reinterpret_cast<void*>(found));
  }();
  BasicInformation info{};
  if (query == nullptr || query(process, 0, &info, sizeof info, nullptr) < 0) return std::nullopt;
  return static_cast<std::uint32_t>(info.creator);
}

// The system's process table: Toolhelp snapshots, and processes held by
// handle until the table goes.
class SystemProcessTable final : public ProcessTable {
 public:
  SystemProcessTable() = default;
  SystemProcessTable(const SystemProcessTable&) = delete;
  SystemProcessTable& operator=(const SystemProcessTable&) = delete;
  ~SystemProcessTable() override {
    for (auto& [pid, handle] : held_) CloseHandle(handle);
  }

  std::vector<ProcessRow> snapshot(std::int64_t& taken_at) override {
    std::vector<ProcessRow> rows;
    Handle snap(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    taken_at = system_time_at_least_now();
    if (!snap.get()) return rows;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snap.get(), &entry); more; more = Process32NextW(snap.get(), &entry)) {
      rows.push_back(ProcessRow{entry.th32ProcessID, entry.th32ParentProcessID});
    }
    return rows;
  }

  std::optional<Held> hold(std::uint32_t pid) override {
    drop(pid);
    HANDLE process = OpenProcess(PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, pid);
    if (process == nullptr) return std::nullopt;
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) {
      CloseHandle(process);
      return std::nullopt;
    }
    held_.emplace(pid, process);
    return Held{ticks(created), creator_of(process)};
  }

  void drop(std::uint32_t pid) override {
    auto it = held_.find(pid);
    if (it == held_.end()) return;
    CloseHandle(it->second);
    held_.erase(it);
  }

  void end(std::uint32_t pid) override {
    auto it = held_.find(pid);
    if (it == held_.end()) return;
    TerminateProcess(it->second, 1);
    WaitForSingleObject(it->second, 500);
  }

 private:
  std::unordered_map<std::uint32_t, HANDLE> held_;
};

// Ends what the child left behind when no job holds its tree.
void end_descendants_of(HANDLE process) {
  FILETIME created, exited, kernel, user;
  if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) return;
  SystemProcessTable table;
  end_descendants(table, GetProcessId(process), ticks(created));
}

// A job that ends the child's whole tree when it is terminated or closed.
Handle tree_job() {
  Handle job(CreateJobObjectW(nullptr, nullptr));
  if (!job.get()) return job;
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits, sizeof limits);
  return job;
}

DWORD milliseconds_until(Clock::time_point deadline) {
  auto now = Clock::now();
  if (now >= deadline) return 0;
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count() + 1;
  return ms > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<DWORD>(ms);
}

class Win32ProcessRunner final : public ProcessRunner {
 public:
  Result<ProcessOutput> run(const ProcessRequest& request) override {
    Pipes pipes;
    if (auto opened = open_pipes(pipes); !opened) return make_error(opened.error());

    std::vector<std::string> argv{request.program};
    argv.insert(argv.end(), request.arguments.begin(), request.arguments.end());
    std::wstring application = widen(request.program);
    std::wstring command_line = widen(windows_command_line(argv));

    HandleList inherited(pipes);
    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = pipes.null_in.get();
    startup.StartupInfo.hStdOutput = pipes.out_write.get();
    startup.StartupInfo.hStdError = pipes.err_write.get();
    startup.lpAttributeList = inherited.get();
    DWORD flags = CREATE_NO_WINDOW | CREATE_SUSPENDED;
    if (inherited.get()) flags |= EXTENDED_STARTUPINFO_PRESENT;

    Handle job = tree_job();
    PROCESS_INFORMATION started[2]{};
    DWORD create_error = 0;
    JobLaunch steps{
        [&](int slot, bool breakaway) {
          // The call may write into the command line; each gets a fresh copy.
          std::wstring line = command_line;
          // The full path as the application name: nothing is looked up in
          // the current directory or on the search path.
          if (CreateProcessW(application.c_str(), line.data(), nullptr, nullptr, TRUE,
                             flags | (breakaway ? CREATE_BREAKAWAY_FROM_JOB : 0), nullptr, nullptr,
                             &startup.StartupInfo, &started[slot])) {
            return true;
          }
          if (slot == 0) create_error = GetLastError();
          return false;
        },
        [&](int slot) {
          return job.get() && !g_refuse_tree_jobs.load() && AssignProcessToJobObject(job.get(), started[slot].hProcess);
        },
        [&](int slot) {
          TerminateProcess(started[slot].hProcess, 1);
          WaitForSingleObject(started[slot].hProcess, 2000);
          CloseHandle(started[slot].hThread);
          CloseHandle(started[slot].hProcess);
        }};
    std::optional<Launched> launched = launch_in_job(steps);
    if (!launched) return make_error(system_message(create_error));
    Handle process(started[launched->slot].hProcess);
    if (!launched->in_job) job.reset();
    ResumeThread(started[launched->slot].hThread);
    CloseHandle(started[launched->slot].hThread);
    pipes.null_in.reset();
    pipes.out_write.reset();
    pipes.err_write.reset();

    ProcessOutput output;
    collect(process, job, pipes, Clock::now() + request.time_limit, request.stop, output);
    // Without a job, what the child left running is found and ended here,
    // while its handle still keeps its id from passing to another process.
    if (!job.get()) end_descendants_of(process.get());
    return output;
  }

 private:
  // The one loop that waits for a child: it reads both pipes while the
  // child runs and ends when the child exits, taking what the pipes hold
  // then, or at the deadline. A descendant that still holds the pipes is
  // not waited for; closing the job ends it with the call.
  static void collect(Handle& process, Handle& job, Pipes& pipes, Clock::time_point deadline,
                      const std::stop_token& stop, ProcessOutput& output) {
    for (;;) {
      bool read_any = read_buffered(pipes.out_read, output.stdout_bytes);
      read_any = read_buffered(pipes.err_read, output.stderr_bytes) || read_any;
      DWORD wait_ms = read_any ? 0 : std::min(milliseconds_until(deadline), kExitPollMilliseconds);
      if (WaitForSingleObject(process.get(), wait_ms) == WAIT_OBJECT_0) {
        read_buffered(pipes.out_read, output.stdout_bytes);
        read_buffered(pipes.err_read, output.stderr_bytes);
        DWORD code = 0;
        if (GetExitCodeProcess(process.get(), &code)) output.exit_code = static_cast<int>(code);
        return;
      }
      bool late = Clock::now() >= deadline;
      if (late || stop.stop_requested()) {
        (late ? output.timed_out : output.stopped) = true;
        if (job.get()) TerminateJobObject(job.get(), 1);
        TerminateProcess(process.get(), 1);
        WaitForSingleObject(process.get(), 2000);
        read_buffered(pipes.out_read, output.stdout_bytes);
        read_buffered(pipes.err_read, output.stderr_bytes);
        return;
      }
    }
  }
};

bool is_file(const std::wstring& path) {
  DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool is_absolute_directory(std::string_view dir) {
  bool drive = dir.size() >= 3 && dir[1] == ':' && (dir[2] == '\\' || dir[2] == '/');
  bool unc = dir.size() >= 2 && dir[0] == '\\' && dir[1] == '\\';
  return drive || unc;
}

}  // namespace

ProcessRunner& system_process_runner() {
  static Win32ProcessRunner runner;
  return runner;
}

std::optional<std::string> find_program(std::string_view file_name,
                                        const std::vector<std::string>& preferred,
                                        std::string_view search_path) {
  for (const std::string& candidate : preferred) {
    if (is_file(widen(candidate))) return candidate;
  }
  while (!search_path.empty()) {
    std::size_t semicolon = search_path.find(';');
    std::string_view dir = search_path.substr(0, semicolon);
    search_path = semicolon == std::string_view::npos ? std::string_view{} : search_path.substr(semicolon + 1);
    if (dir.size() >= 2 && dir.front() == '"' && dir.back() == '"') dir = dir.substr(1, dir.size() - 2);
    if (!is_absolute_directory(dir)) continue;
    std::string candidate(dir);
    if (candidate.back() != '\\' && candidate.back() != '/') candidate += '\\';
    candidate += file_name;
    if (is_file(widen(candidate))) return candidate;
  }
  return std::nullopt;
}

void refuse_tree_jobs_for_testing(bool refuse) { g_refuse_tree_jobs.store(refuse); }

void suppress_error_dialogs() {
  SetErrorMode(GetErrorMode() | SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX | SEM_NOGPFAULTERRORBOX);
}

std::string environment_variable(const char* name) {
  std::wstring wide_name = widen(name);
  DWORD size = GetEnvironmentVariableW(wide_name.c_str(), nullptr, 0);
  if (size == 0) return {};
  std::wstring value(size, L'\0');
  DWORD written = GetEnvironmentVariableW(wide_name.c_str(), value.data(), size);
  value.resize(written < size ? written : 0);
  return narrow(value);
}

}  // namespace corvane::platform
