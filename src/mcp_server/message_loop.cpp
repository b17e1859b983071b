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

// What a tools/call's own thread shares with the loop. Held by both, so
// that a call the loop stopped waiting for can still finish into it.
struct CallState {
  std::mutex mutex;
  std::condition_variable changed;
  bool finished = false;
  std::optional<std::chrono::steady_clock::time_point> cancelled_at;
  std::optional<Json> reply;
  // Held while the call's progress is written: a slow reader then holds up
  // the call alone, never the loop's reader thread.
  std::mutex sending;
  bool abandoned = false;  // under `sending`; once set, nothing of the call is written
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
  void cancel(const Json& id) {
    std::lock_guard lock(mutex_);
    if (running_ && same_request_id(*running_, id)) {
      running_cancelled_ = true;
      running_stop_.request_stop();
      if (running_call_) mark_cancelled(*running_call_);
      return;
    }
    auto it = by_id_.find(id_key(id));
    if (it == by_id_.end()) return;
    Queued& queued = queue_[it->second.front() - first_];
    queued.dropped = true;
    std::string().swap(queued.line);  // its memory back now, not when its turn comes
    forget(it, it->second.front());
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

  // The running request goes on a thread of its own: a cancellation from
  // now on also starts the clock on abandoning it.
  void attach(const std::shared_ptr<CallState>& call) {
    std::lock_guard lock(mutex_);
    running_call_ = call;
    if (running_cancelled_) mark_cancelled(*call);
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

  static void mark_cancelled(CallState& call) {
    std::lock_guard lock(call.mutex);
    if (!call.cancelled_at) call.cancelled_at = std::chrono::steady_clock::now();
    call.changed.notify_all();
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
// its reply in turn).
void take_line(std::string& line, Inbox& inbox) {
  std::string_view text = platform::trim_white_space(line);
  if (text.empty()) return;
  Result<Json> envelope = parse_json_envelope(text);
  if (!envelope.ok()) return inbox.add(line, std::string());
  Inbound inbound = route_message(std::move(envelope.value()));
  if (auto* cancellation = std::get_if<Cancellation>(&inbound)) return inbox.cancel(cancellation->request_id);
  if (auto* request = std::get_if<Request>(&inbound)) return inbox.add(line, id_key(request->id));
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
void read_input(LineReader& input, Inbox& inbox) {
  for (;;) {
    std::optional<std::string> line;
    if (!when_memory_allows(inbox, [&] { line = input.next(); })) break;
    if (!line || !platform::is_valid_utf8(*line)) break;
    (void)when_memory_allows(inbox, [&] { take_line(*line, inbox); });
  }
  inbox.close();
}

// Answers one request; the reply to write, or nothing when there is none
// to write (out of memory). Progress goes to `send`.
std::optional<Json> answer(const Session& session, const Request& request, std::stop_token stop,
                           const ProgressNotifier::Send& send) {
  try {
    std::optional<ProgressNotifier> notifier;
    if (std::optional<Json> token = progress_token(request.message)) {
      notifier.emplace(std::move(*token), send, platform::system_clock());
    }
    CallControl control{std::move(stop), notifier ? &*notifier : nullptr};
    Session own = session;  // a tools/call never changes the session
    return handle_request(own, request.id, request.method, request.message, control);
  } catch (const std::exception&) {
    // Out of memory for this request or its reply: nothing can be written
    // for it, and the server stays up for the next one.
    return std::nullopt;
  }
}

// Runs a tools/call on a thread of its own, so that the loop can give up on
// it (see kAbandonAfter); its reply, or nothing. Sets `abandoned` when the
// call was left running. The thread holds all it uses: the request, the
// writer and the state it shares with the loop.
std::optional<Json> run_call(const Session& session, std::shared_ptr<const Request> request, std::stop_token stop,
                             const std::shared_ptr<LineWriter>& writer, Inbox& inbox, bool& abandoned) {
  auto call = std::make_shared<CallState>();
  auto body = [call, writer, session, request, stop]() noexcept {
    // Progress of a call the loop gave up on is never written.
    auto send = [&call, &writer](const Json& message) {
      std::lock_guard lock(call->sending);
      if (!call->abandoned) writer->send(message);
    };
    std::optional<Json> reply = answer(session, *request, stop, send);
    std::lock_guard lock(call->mutex);
    call->reply = std::move(reply);
    call->finished = true;
    call->changed.notify_all();
  };
  std::thread worker;
  try {
    worker = std::thread(body);
  } catch (const std::exception&) {
    // No thread for it: the call runs here, and cannot be given up on.
    return answer(session, *request, std::move(stop), [&writer](const Json& m) { writer->send(m); });
  }
  inbox.attach(call);
  std::unique_lock lock(call->mutex);
  while (!call->finished) {
    if (!call->cancelled_at) {
      call->changed.wait(lock);
    } else if (std::chrono::steady_clock::now() < *call->cancelled_at + kAbandonAfter) {
      call->changed.wait_until(lock, *call->cancelled_at + kAbandonAfter);
    } else {
      lock.unlock();
      std::lock_guard silenced(call->sending);
      call->abandoned = true;
      abandoned = true;
      worker.detach();  // left to the kernel; it finishes into `call` if ever
      return std::nullopt;
    }
  }
  lock.unlock();
  worker.join();
  return std::move(call->reply);
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

bool serve(LineReader& input, const std::function<bool(std::string_view)>& write) {
  auto writer = std::make_shared<LineWriter>(write);
  Session session;
  Inbox inbox;
  std::thread reader;
  try {
    reader = std::thread([&] { read_input(input, inbox); });
  } catch (const std::exception&) {
    serve_in_turn(input, *writer);
    return true;
  }
  bool abandoned = false;
  for (;;) {
    std::stop_token stop;
    std::size_t line_bytes = 0;
    std::optional<Inbound> inbound;
    try {
      inbound = inbox.take(stop, line_bytes);
    } catch (const std::exception&) {
      continue;  // out of memory for this line: no reply, as for any line
    }
    if (!inbound) break;
    if (auto* reply = std::get_if<Json>(&*inbound)) {
      writer->send(*reply);
    } else if (auto* request = std::get_if<Request>(&*inbound)) {
      std::optional<Json> reply;
      if (request->method == "tools/call") {
        try {
          auto shared = std::make_shared<const Request>(std::move(*request));
          reply = run_call(session, std::move(shared), std::move(stop), writer, inbox, abandoned);
        } catch (const std::exception&) {
          // Out of memory before the call could start: no reply, as for any.
        }
      } else {
        // The other methods never wait on a disk; "initialize" sets the
        // session, so it is answered here.
        try {
          reply = handle_request(session, request->id, request->method, request->message);
        } catch (const std::exception&) {
        }
      }
      bool cancelled = inbox.finish();
      // A cancelled request is never answered, whatever it came to.
      if (reply && !cancelled) writer->send(*reply);
    }
    inbound.reset();
    if (line_bytes > kLargeLineBytes) runtime::give_back_free_memory();
  }
  reader.join();
  return !abandoned;
}

}  // namespace corvane::mcp
