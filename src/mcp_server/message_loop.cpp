#include "mcp_server/message_loop.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <stop_token>
#include <thread>
#include <utility>

#include "mcp_server/json_text.h"
#include "mcp_server/methods.h"
#include "mcp_server/progress_notifier.h"
#include "platform/text.h"

namespace corvane::mcp {

namespace {

// Messages leave through here only, whole lines one at a time: the loop's
// replies and the progress ticker's notifications come from two threads.
class LineWriter {
 public:
  explicit LineWriter(const std::function<bool(std::string_view)>& write) : write_(write) {}

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
  const std::function<bool(std::string_view)>& write_;
  std::mutex mutex_;
};

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
// built; only a line that may be a cancellation is parsed by the reader.
class Inbox {
 public:
  void add(std::string& line) {
    {
      std::lock_guard lock(mutex_);
      queue_.push_back(std::move(line));  // leaves `line` as it was when it throws
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
      return;
    }
    for (auto it = queue_.begin(); it != queue_.end(); ++it) {
      Inbound queued = read_message(*it);
      if (auto* request = std::get_if<Request>(&queued); request && same_request_id(request->id, id)) {
        queue_.erase(it);
        return;
      }
    }
  }

  // The next line, read; nothing when the input is over and every line
  // taken. A request taken becomes the one running, with a fresh stop:
  // parsed under the lock, so that no cancellation slips between the two.
  std::optional<Inbound> take(std::stop_token& stop) {
    std::unique_lock lock(mutex_);
    if (queue_.empty()) idle_.notify_all();
    ready_.wait(lock, [&] { return !queue_.empty() || closed_; });
    if (queue_.empty()) return std::nullopt;
    std::string line = std::move(queue_.front());
    queue_.pop_front();
    Inbound inbound = read_message(line);
    if (auto* request = std::get_if<Request>(&inbound)) {
      running_ = request->id;
      running_cancelled_ = false;
      running_stop_ = std::stop_source();
      stop = running_stop_.get_token();
    }
    return inbound;
  }

  // Ends the running request; whether it was cancelled meanwhile.
  bool finish() {
    std::lock_guard lock(mutex_);
    running_.reset();
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
  std::mutex mutex_;
  std::condition_variable ready_;
  std::condition_variable idle_;
  std::deque<std::string> queue_;
  bool closed_ = false;
  std::optional<Json> running_;
  bool running_cancelled_ = false;
  std::stop_source running_stop_;
};

void take_line(std::string& line, Inbox& inbox) {
  static constexpr std::string_view kCancelled = "notifications/cancelled";
  if (line.find(kCancelled) != std::string::npos) {
    Inbound inbound = read_message(line);
    if (auto* cancellation = std::get_if<Cancellation>(&inbound)) return inbox.cancel(cancellation->request_id);
  }
  inbox.add(line);
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
// to write (out of memory).
std::optional<Json> answer(Session& session, const Request& request, std::stop_token stop, LineWriter& writer) {
  try {
    std::optional<ProgressNotifier> notifier;
    if (std::optional<Json> token = progress_token(request.message)) {
      notifier.emplace(std::move(*token), [&writer](const Json& message) { writer.send(message); },
                       platform::system_clock());
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
        if (std::optional<Json> reply = answer(session, *request, {}, writer)) writer.send(*reply);
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
  if (a.is_number_integer() && b.is_number_integer()) return a == b;
  return a.type() == b.type() && a == b;
}

Inbound read_message(std::string_view line) {
  std::string_view text = platform::trim_white_space(line);
  if (text.empty()) return std::monostate{};

  Result<Json> parsed = parse_json(text);
  if (!parsed.ok()) return error_reply(nullptr, kParseError, "Parse error: " + parsed.error());

  Json& message = parsed.value();
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

std::optional<Json> handle_line(std::string_view line) {
  Inbound inbound = read_message(line);
  if (auto* reply = std::get_if<Json>(&inbound)) return std::move(*reply);
  if (auto* request = std::get_if<Request>(&inbound)) {
    Session session;
    return handle_request(session, request->id, request->method, request->message);
  }
  return std::nullopt;
}

void serve(LineReader& input, const std::function<bool(std::string_view)>& write) {
  LineWriter writer(write);
  Session session;
  Inbox inbox;
  std::thread reader;
  try {
    reader = std::thread([&] { read_input(input, inbox); });
  } catch (const std::exception&) {
    serve_in_turn(input, writer);
    return;
  }
  for (;;) {
    std::stop_token stop;
    std::optional<Inbound> inbound;
    try {
      inbound = inbox.take(stop);
    } catch (const std::exception&) {
      continue;  // out of memory for this line: no reply, as for any line
    }
    if (!inbound) break;
    if (auto* reply = std::get_if<Json>(&*inbound)) {
      writer.send(*reply);
    } else if (auto* request = std::get_if<Request>(&*inbound)) {
      std::optional<Json> reply = answer(session, *request, std::move(stop), writer);
      bool cancelled = inbox.finish();
      // A cancelled request is never answered, whatever it came to.
      if (reply && !cancelled) writer.send(*reply);
    }
  }
  reader.join();
}

}  // namespace corvane::mcp
