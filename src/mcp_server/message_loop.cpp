#include "mcp_server/message_loop.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <stop_token>
#include <thread>
#include <unordered_map>
#include <utility>

#include "mcp_server/json_text.h"
#include "mcp_server/methods.h"
#include "mcp_server/progress_notifier.h"
#include "platform/runtime.h"
#include "platform/text.h"

namespace corvane::mcp {

namespace {

// Messages leave through here only, whole lines one at a time: the loop's
// replies and the progress ticker's notifications come from two threads.
// Shared with every call's thread, which may outlive the loop (see
// CallState), so it holds its own copy of `write`.
class LineWriter {
 public:
  explicit LineWriter(std::function<bool(std::string_view)> write) : write_(std::move(write)) {}

  void send(const Json& message) {
    std::string text;
    try {
      append_compact_json(text, message);
      text += '\n';
    } catch (const std::exception&) {
      return;  // out of memory for the text: nothing is written for it
    }
    std::lock_guard lock(mutex_);
    (void)write_(text);
  }

 private:
  std::function<bool(std::string_view)> write_;
  std::mutex mutex_;
};

// A cancelled call that has not returned by then is left to run on alone:
// it is stuck where a stop cannot reach (a read from a mount that stopped
// answering), and the client is owed answers to what comes next.
constexpr std::chrono::seconds kAbandonAfter{1};

// A running tools/call, as the loop thread running it and the watcher of
// its cancellation share it. Held by both, so that a call given up on can
// still come back into it.
struct CallState {
  std::mutex mutex;
  std::condition_variable changed;
  bool finished = false;   // came back in time
  bool abandoned = false;  // given up on: its thread no longer serves
  std::optional<std::chrono::steady_clock::time_point> cancelled_at;
  // Held while the call's progress is written: a slow reader then holds up
  // the call alone, never the loop's reader thread.
  std::mutex sending;
  bool muted = false;  // under `sending`; once set, nothing of the call is written
};

// The key under which a queued request's id is found again: one per
// distinct id as same_request_id compares them, empty for an id no
// cancellation can name.
std::string id_key(const Json& id) {
  // Tagged by kind, appended rather than prefixed: GCC 12 misreads
  // "s" + text (-Wrestrict).
  std::string key;
  if (id.is_string()) {
    key.append(1, 's').append(id.get_ref<const std::string&>());
  } else if (id.is_number_unsigned()) {
    key.append(1, 'n').append(std::to_string(id.get<std::uint64_t>()));
  } else if (id.is_number_integer()) {
    key.append(1, 'n').append(std::to_string(id.get<std::int64_t>()));
  } else if (id.is_number_float()) {
    double value = id.get<double>();
    key.append(1, 'f').append(to_compact_json(Json(value == 0 ? 0.0 : value)));  // -0.0 is 0.0
  }
  return key;
}

std::optional<Json> cancelled_request_id(const Json& message) {
  auto params = message.find("params");
  if (params == message.end() || !params->is_object()) return std::nullopt;
  auto id = params->find("requestId");
  if (id == params->end() || !(id->is_string() || id->is_number())) return std::nullopt;
  return *id;
}

// Lines the reader has read and the loop has not yet taken, and the request
// the loop is running. Lines are queued as read and parsed when taken, on
// the loop's side, so that a request's memory is spent where its reply is
// built; the reader takes only a line's envelope (see parse_json_envelope)
// to route it, and files each queued request under its id once, so that a
// cancellation finds it without reading the queue again.
class Inbox {
 public:
  // `key` is the line's id_key, empty when it has none.
  // Leaves `line` as it was when it throws.
  void add(std::string& line, std::string key) {
    {
      std::lock_guard lock(mutex_);
      Queued& queued = queue_.emplace_back();
      queued.line.swap(line);
      try {
        queued.key = std::move(key);
        if (!queued.key.empty()) by_id_[queued.key].push_back(first_ + queue_.size() - 1);
      } catch (...) {
        line.swap(queued.line);
        queue_.pop_back();
        throw;
      }
    }
    ready_.notify_one();
  }
  // No more input: the loop ends once the queue is empty.
  void close() {
    {
      std::lock_guard lock(mutex_);
      closed_ = true;
    }
    ready_.notify_one();
  }

  // The request running is stopped and left unanswered; failing that, the
  // first queued request with that id is dropped. Other ids are ignored.
  // Returns the running call when this is its first cancellation, to watch.
  std::shared_ptr<CallState> cancel(const Json& id) {
    std::lock_guard lock(mutex_);
    if (running_ && same_request_id(*running_, id)) {
      running_cancelled_ = true;
      running_stop_.request_stop();
      if (running_call_ && mark_cancelled(*running_call_)) return running_call_;
      return nullptr;
    }
    auto it = by_id_.find(id_key(id));
    if (it == by_id_.end()) return nullptr;
    Queued& queued = queue_[it->second.front() - first_];
    queued.dropped = true;
    std::string().swap(queued.line);  // its memory back now, not when its turn comes
    forget(it, it->second.front());
    return nullptr;
  }

  // The next line, read, and its size; nothing when the input is over and
  // every line taken. A request taken becomes the one running, with a fresh
  // stop: parsed under the lock, so that no cancellation slips between.
  std::optional<Inbound> take(std::stop_token& stop, std::size_t& line_bytes) {
    std::unique_lock lock(mutex_);
    for (;;) {
      while (!queue_.empty() && queue_.front().dropped) pop_locked();
      if (queue_.empty()) idle_.notify_all();
      ready_.wait(lock, [&] { return !queue_.empty() || closed_; });
      if (queue_.empty()) return std::nullopt;
      if (!queue_.front().dropped) break;
    }
    std::string line = std::move(queue_.front().line);
    pop_locked();
    line_bytes = line.size();
    Inbound inbound = read_message(line);
    if (auto* request = std::get_if<Request>(&inbound)) {
      running_ = request->id;
      running_cancelled_ = false;
      running_stop_ = std::stop_source();
      stop = running_stop_.get_token();
    }
    return inbound;
  }

  // The running request is a tools/call: a cancellation from now on also
  // starts the clock on giving up on it. Whether it was cancelled already.
  bool attach(const std::shared_ptr<CallState>& call) {
    std::lock_guard lock(mutex_);
    running_call_ = call;
    return running_cancelled_ && mark_cancelled(*call);
  }

  // Ends the running request; whether it was cancelled meanwhile.
  bool finish() {
    std::lock_guard lock(mutex_);
    running_.reset();
    running_call_.reset();
    idle_.notify_all();
    return running_cancelled_;
  }

  // Waits until nothing runs and nothing waits to: all the memory a request
  // took is given back then.
  void wait_until_idle() {
    std::unique_lock lock(mutex_);
    idle_.wait(lock, [&] { return !running_ && queue_.empty(); });
  }

 private:
  struct Queued {
    std::string line;
    std::string key;
    bool dropped = false;
  };
  using Index = std::unordered_map<std::string, std::deque<std::uint64_t>>;

  // Whether this was the call's first cancellation.
  static bool mark_cancelled(CallState& call) {
    std::lock_guard lock(call.mutex);
    if (call.cancelled_at) return false;
    call.cancelled_at = std::chrono::steady_clock::now();
    return true;
  }

  // Takes the queued line at `at` off the index (it is the key's first).
  void forget(Index::iterator it, std::uint64_t at) {
    if (!it->second.empty() && it->second.front() == at) it->second.pop_front();
    if (it->second.empty()) by_id_.erase(it);
  }

  void pop_locked() {
    Queued& front = queue_.front();
    if (!front.dropped && !front.key.empty()) {
      if (auto it = by_id_.find(front.key); it != by_id_.end()) forget(it, first_);
    }
    queue_.pop_front();
    ++first_;
  }

  std::mutex mutex_;
  std::condition_variable ready_;
  std::condition_variable idle_;
  std::deque<Queued> queue_;
  std::uint64_t first_ = 0;  // the number of the line at the queue's front
  Index by_id_;              // queued requests' numbers, by id_key, oldest first
  bool closed_ = false;
  std::optional<Json> running_;
  bool running_cancelled_ = false;
  std::stop_source running_stop_;
  std::shared_ptr<CallState> running_call_;
};

// Routes one line as read: a cancellation acts at once, a line that asks
// nothing is dropped, anything else is queued (a line that is no JSON gets
// its reply in turn). Returns a running call just cancelled, to watch.
std::shared_ptr<CallState> take_line(std::string& line, Inbox& inbox) {
  std::string_view text = platform::trim_white_space(line);
  if (text.empty()) return nullptr;
  Result<Json> envelope = parse_json_envelope(text);
  if (!envelope.ok()) {
    inbox.add(line, std::string());
    return nullptr;
  }
  Inbound inbound = route_message(std::move(envelope.value()));
  if (auto* cancellation = std::get_if<Cancellation>(&inbound)) return inbox.cancel(cancellation->request_id);
  if (auto* request = std::get_if<Request>(&inbound)) inbox.add(line, id_key(request->id));
  return nullptr;
}

// Runs `step`; when it runs out of memory while a request runs, which may
// hold the memory, once more when nothing runs. False when that failed too.
template <typename Step>
bool when_memory_allows(Inbox& inbox, Step step) {
  try {
    step();
    return true;
  } catch (const std::exception&) {
  }
  inbox.wait_until_idle();
  try {
    step();
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

// The reader's side: every line up to the end of input, a read error, or
// the first line that is not UTF-8, which ends the input where it stands.
// A line that cannot be held at all (out of memory with nothing running)
// ends the input as a read error does; one that cannot be queued is lost,
// and the reader goes on with the next.
template <typename Watch>
void read_input(LineReader& input, Inbox& inbox, Watch watch) {
  for (;;) {
    std::optional<std::string> line;
    if (!when_memory_allows(inbox, [&] { line = input.next(); })) break;
    if (!line || !platform::is_valid_utf8(*line)) break;
    std::shared_ptr<CallState> cancelled;
    (void)when_memory_allows(inbox, [&] { cancelled = take_line(*line, inbox); });
    if (cancelled) watch(std::move(cancelled));
  }
  inbox.close();
}

// Answers one request; the reply to write, or nothing when there is none
// to write (out of memory). Progress goes to `send`.
std::optional<Json> answer(Session& session, const Request& request, std::stop_token stop,
                           const ProgressNotifier::Send& send) {
  try {
    std::optional<ProgressNotifier> notifier;
    if (std::optional<Json> token = progress_token(request.message)) {
      notifier.emplace(std::move(*token), send, platform::system_clock());
    }
    CallControl control{std::move(stop), notifier ? &*notifier : nullptr};
    return handle_request(session, request.id, request.method, request.message, control);
  } catch (const std::exception&) {
    // Out of memory for this request or its reply: nothing can be written
    // for it, and the server stays up for the next one.
    return std::nullopt;
  }
}

// Without a thread to read ahead: each line is answered before the next is
// read, and a cancellation can only name a request already answered.
void serve_in_turn(LineReader& input, LineWriter& writer) {
  Session session;
  while (std::optional<std::string> line = input.next()) {
    if (!platform::is_valid_utf8(*line)) return;
    try {
      Inbound inbound = read_message(*line);
      if (auto* request = std::get_if<Request>(&inbound)) {
        auto send = [&writer](const Json& message) { writer.send(message); };
        if (std::optional<Json> reply = answer(session, *request, {}, send)) writer.send(*reply);
      } else if (auto* reply = std::get_if<Json>(&inbound)) {
        writer.send(*reply);
      }
    } catch (const std::exception&) {
      // Out of memory for this line: no reply, and on with the next.
    }
  }
}

}  // namespace

bool same_request_id(const Json& a, const Json& b) {
  // The parser gives a number without a fraction or exponent as an integer
  // (unsigned when not negative, signed when negative), any other as a
  // float. Integers match by value, never through a cast between signed
  // and unsigned (-1 is not 18446744073709551615); floats match floats by
  // value (1.0 is 1.00, and never the integer 1); strings match strings.
  if (a.is_number_integer() && b.is_number_integer()) {
    if (a.is_number_unsigned() != b.is_number_unsigned()) {
      const Json& negative = a.is_number_unsigned() ? b : a;
      if (negative.get<std::int64_t>() < 0) return false;
      return a.get<std::uint64_t>() == b.get<std::uint64_t>();
    }
    return a == b;
  }
  if (a.is_number_float() && b.is_number_float()) return a.get<double>() == b.get<double>();
  return a.type() == b.type() && a == b;
}

Inbound route_message(Json message) {
  if (!message.is_object()) return std::monostate{};
  std::string method;
  if (auto m = message.find("method"); m != message.end() && m->is_string()) method = m->get<std::string>();
  auto id = message.find("id");
  if (id == message.end()) {
    if (method != "notifications/cancelled") return std::monostate{};
    if (std::optional<Json> cancelled = cancelled_request_id(message)) return Cancellation{std::move(*cancelled)};
    return std::monostate{};
  }
  Json request_id = *id;
  return Request{std::move(request_id), std::move(method), std::move(message)};
}

Inbound read_message(std::string_view line) {
  std::string_view text = platform::trim_white_space(line);
  if (text.empty()) return std::monostate{};
  Result<Json> parsed = parse_json(text);
  if (!parsed.ok()) return error_reply(nullptr, kParseError, "Parse error: " + parsed.error());
  return route_message(std::move(parsed.value()));
}

std::optional<Json> handle_line(std::string_view line) {
  Inbound inbound = read_message(line);
  if (auto* reply = std::get_if<Json>(&inbound)) return std::move(*reply);
  if (auto* request = std::get_if<Request>(&inbound)) {
    Session session;
    return handle_request(session, request->id, request->method, request->message);
  }
  return std::nullopt;
}

namespace {

// What every thread of the loop shares: the one that called serve, and any
// that took over from a thread held by a call given up on.
struct LoopState {
  LoopState(const std::function<bool(std::string_view)>& write, std::function<void()> left_behind)
      : writer(std::make_shared<LineWriter>(write)), left_behind(std::move(left_behind)) {}
  Inbox inbox;
  std::shared_ptr<LineWriter> writer;
  Session session;  // the serving thread's alone
  std::thread reader;
  std::function<void()> left_behind;
  std::mutex mutex;
  std::condition_variable changed;
  bool abandoned = false;      // a call was given up on
  bool ended = false;          // the loop has served its last request
  bool first_back = false;     // the thread that called serve came back from its call
  bool exits_here = false;     // the last serving thread ends the process
};

void start_watch(const std::shared_ptr<LoopState>& state, std::shared_ptr<CallState> call);

// Serves requests until the input is over (true), or until the call this
// thread runs is given up on (false: another thread serves on).
bool run_loop(const std::shared_ptr<LoopState>& state) {
  LoopState& loop = *state;
  for (;;) {
    std::stop_token stop;
    std::size_t line_bytes = 0;
    std::optional<Inbound> inbound;
    try {
      inbound = loop.inbox.take(stop, line_bytes);
    } catch (const std::exception&) {
      continue;  // out of memory for this line: no reply, as for any line
    }
    if (!inbound) return true;
    if (auto* reply = std::get_if<Json>(&*inbound)) {
      loop.writer->send(*reply);
    } else if (auto* request = std::get_if<Request>(&*inbound)) {
      std::optional<Json> reply;
      if (request->method == "tools/call") {
        std::shared_ptr<CallState> call;
        try {
          call = std::make_shared<CallState>();
        } catch (const std::exception&) {
        }
        // Read before a watcher may take over, which may change the session.
        Session session = loop.session;
        if (call && loop.inbox.attach(call)) start_watch(state, call);
        // Progress of a call given up on is never written.
        auto send = [&call, &loop](const Json& message) {
          std::unique_lock lock = call ? std::unique_lock(call->sending) : std::unique_lock<std::mutex>();
          if (!call || !call->muted) loop.writer->send(message);
        };
        reply = answer(session, *request, std::move(stop), send);
        if (call) {
          std::lock_guard lock(call->mutex);
          if (call->abandoned) return false;
          call->finished = true;
          call->changed.notify_all();
        }
      } else {
        // The other methods never wait on a disk; "initialize" sets the
        // session, so it is answered here.
        try {
          reply = handle_request(loop.session, request->id, request->method, request->message);
        } catch (const std::exception&) {
        }
      }
      bool cancelled = loop.inbox.finish();
      // A cancelled request is never answered, whatever it came to.
      if (reply && !cancelled) loop.writer->send(*reply);
    }
    inbound.reset();
    if (line_bytes > kLargeLineBytes) runtime::give_back_free_memory();
  }
}

// A thread that took over: serves on, and at the end either lets the
// thread that called serve return, or, while that one is still held,
// ends the process itself.
void serve_on(const std::shared_ptr<LoopState>& state) {
  if (!run_loop(state)) return;  // given up on in turn; a newer thread serves
  state->reader.join();
  std::unique_lock lock(state->mutex);
  state->ended = true;
  state->exits_here = !state->first_back;
  state->changed.notify_all();
  lock.unlock();
  if (state->exits_here && state->left_behind) state->left_behind();
}

// Waits for the call's return until a while after its cancellation; then
// gives up on it and takes over serving.
void watch(const std::shared_ptr<LoopState>& state, const std::shared_ptr<CallState>& call) {
  std::unique_lock lock(call->mutex);
  if (call->changed.wait_until(lock, *call->cancelled_at + kAbandonAfter, [&] { return call->finished; })) return;
  call->abandoned = true;
  lock.unlock();
  {
    std::lock_guard silenced(call->sending);
    call->muted = true;
  }
  {
    std::lock_guard loop_lock(state->mutex);
    state->abandoned = true;
  }
  (void)state->inbox.finish();  // as cancelled: never answered
  serve_on(state);
}

void start_watch(const std::shared_ptr<LoopState>& state, std::shared_ptr<CallState> call) {
  try {
    std::thread([state, call = std::move(call)] { watch(state, call); }).detach();
  } catch (const std::exception&) {
    // No thread to watch with: the call is waited for, however long.
  }
}

}  // namespace

bool serve(LineReader& input, const std::function<bool(std::string_view)>& write, std::function<void()> left_behind) {
  auto state = std::make_shared<LoopState>(write, std::move(left_behind));
  try {
    state->reader = std::thread([&input, state] {
      read_input(input, state->inbox, [&state](std::shared_ptr<CallState> call) { start_watch(state, std::move(call)); });
    });
  } catch (const std::exception&) {
    serve_in_turn(input, *state->writer);
    return true;
  }
  if (run_loop(state)) {
    state->reader.join();
    std::lock_guard lock(state->mutex);
    return !state->abandoned;
  }
  // Given up on, and back after all: the thread serving now says when the
  // loop is over, and ends the process itself if it decided to.
  std::unique_lock lock(state->mutex);
  state->first_back = true;
  state->changed.wait(lock, [&] { return state->ended && !state->exits_here; });
  return false;
}

}  // namespace corvane::mcp
