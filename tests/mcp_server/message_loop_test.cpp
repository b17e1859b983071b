// The loop while a call runs: input read on, cancellation, progress
// notifications and one writer, driven through serve() with scripted input
// and a directory scan slowed by the walk's test pause.
#include "mcp_server/message_loop.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "mcp_server/json_text.h"
#include "mcp_server/progress_notifier.h"
#include "platform/dir_walk.h"
#include "platform/progress_fakes.h"
#include "platform/scratch_dir.h"

namespace corvane::mcp {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Standard input as the test writes it, piece by piece; a read waits for
// the next piece as a pipe does.
class ScriptedInput {
 public:
  void feed(const std::string& text) {
    std::lock_guard lock(mutex_);
    pending_ += text;
    changed_.notify_all();
  }
  void end() {
    std::lock_guard lock(mutex_);
    ended_ = true;
    changed_.notify_all();
  }
  long read(char* buffer, std::size_t capacity) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return !pending_.empty() || ended_; });
    std::size_t n = std::min(capacity, pending_.size());
    std::memcpy(buffer, pending_.data(), n);
    pending_.erase(0, n);
    return static_cast<long>(n);
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::string pending_;
  bool ended_ = false;
};

// Standard output: every write must be exactly one whole line.
class RecordedOutput {
 public:
  bool write(std::string_view text) {
    std::lock_guard lock(mutex_);
    if (text.empty() || text.back() != '\n' || text.find('\n') != text.size() - 1) torn_ = true;
    lines_.push_back(parse_json(text.substr(0, text.size() - 1)).value());
    grew_.notify_all();
    return true;
  }
  // Waits (up to a generous bound) until `done` holds for the lines so far.
  bool wait_for(const std::function<bool(const std::vector<Json>&)>& done) {
    std::unique_lock lock(mutex_);
    return grew_.wait_for(lock, 60s, [&] { return done(lines_); });
  }
  std::vector<Json> lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
  }
  bool torn() const {
    std::lock_guard lock(mutex_);
    return torn_;
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable grew_;
  std::vector<Json> lines_;
  bool torn_ = false;
};

bool is_progress(const Json& line) { return line.value("method", "") == "notifications/progress"; }
std::size_t progress_count(const std::vector<Json>& lines) {
  return static_cast<std::size_t>(std::count_if(lines.begin(), lines.end(), is_progress));
}
bool has_reply(const std::vector<Json>& lines, const Json& id) {
  return std::any_of(lines.begin(), lines.end(), [&](const Json& l) { return l.contains("id") && l["id"] == id; });
}

std::string line(const Json& message) { return to_compact_json(message) + "\n"; }
std::string ping(const Json& id) { return line(Json{{"jsonrpc", "2.0"}, {"id", id}, {"method", "ping"}}); }
std::string cancel(const Json& id) {
  return line(Json{{"jsonrpc", "2.0"}, {"method", "notifications/cancelled"}, {"params", {{"requestId", id}}}});
}

class MessageLoopTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (int d = 0; d < 20; ++d) {
      // Appended, not prefixed: GCC 12 misreads "d" + to_string() (-Wrestrict).
      std::string folder("d");
      folder.append(std::to_string(d)).append("/f");
      for (int f = 0; f < 50; ++f) scratch.file(std::string(folder).append(std::to_string(f)), 1 + f);
    }
  }
  void TearDown() override {
    input.end();
    if (server.joinable()) server.join();
    platform::set_entry_pause(0us);
  }

  void start() {
    server = std::thread([this] {
      LineReader reader([this](char* buffer, std::size_t n) { return input.read(buffer, n); });
      serve(reader, [this](std::string_view text) { return output.write(text); });
    });
  }
  std::string scan(const Json& id, const std::optional<Json>& token = std::nullopt) {
    Json params{{"name", "scan_top_files"}, {"arguments", {{"path", scratch.text()}, {"top_n", 3}}}};
    if (token) params["_meta"] = {{"progressToken", *token}};
    return line(Json{{"jsonrpc", "2.0"}, {"id", id}, {"method", "tools/call"}, {"params", params}});
  }
  void finish() {
    input.end();
    server.join();
  }

  corvane::testing::ScratchDir scratch;
  ScriptedInput input;
  RecordedOutput output;
  std::thread server;
};

TEST_F(MessageLoopTest, ACancelledCallIsStoppedUnansweredAndItsProgressGrewBeforeTheNextReply) {
  platform::set_entry_pause(5ms);  // about 5 s for the 1020 entries
  start();
  input.feed(scan(1, Json("tok")));
  ASSERT_TRUE(output.wait_for([](const auto& lines) { return progress_count(lines) >= 2; }));

  // A string id is not the number id of the call; a ping waits its turn.
  input.feed(cancel("1") + ping(2));
  std::this_thread::sleep_for(600ms);
  EXPECT_FALSE(has_reply(output.lines(), 2)) << "the string id stopped the call";

  auto cancelled_at = Clock::now();
  input.feed(cancel(1));
  ASSERT_TRUE(output.wait_for([](const auto& lines) { return has_reply(lines, 2); }));
  EXPECT_LT(Clock::now() - cancelled_at, 3s);  // the scan had seconds left
  finish();

  std::vector<Json> lines = output.lines();
  EXPECT_FALSE(output.torn());
  EXPECT_FALSE(has_reply(lines, 1));
  ASSERT_EQ(lines.back()["id"], 2);
  double last = -1;
  for (std::size_t i = 0; i + 1 < lines.size(); ++i) {
    ASSERT_TRUE(is_progress(lines[i])) << lines[i];
    const Json& params = lines[i]["params"];
    EXPECT_EQ(params["progressToken"], "tok");
    EXPECT_FALSE(params.contains("total"));  // a scan does not know its size
    double value = params["progress"].get<double>();
    EXPECT_GT(value, last);
    last = value;
  }
  EXPECT_GE(last, 2);  // entries listed, not a bare tick count
}

TEST_F(MessageLoopTest, QueuedRequestsKeepTheirOrderAndACancelledOneIsDroppedWithoutAToken) {
  platform::set_entry_pause(500us);
  start();
  input.feed(scan(1) + ping(2) + cancel(2) + cancel(99) + ping("3"));
  finish();
  std::vector<Json> lines = output.lines();
  ASSERT_EQ(lines.size(), 2u);  // no progress without a token
  EXPECT_EQ(lines[0]["id"], 1);
  EXPECT_EQ(lines[0]["result"]["isError"], false);
  EXPECT_EQ(lines[1], (Json{{"id", "3"}, {"jsonrpc", "2.0"}, {"result", Json::object()}}));
}

TEST_F(MessageLoopTest, InputEndingOrTurningInvalidDuringACallStillLetsEveryEarlierRequestBeAnswered) {
  platform::set_entry_pause(500us);
  start();
  input.feed(scan(1) + ping(2) + "not json\n" + "\xff\xfe\n" + ping(3));
  finish();
  std::vector<Json> lines = output.lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0]["id"], 1);
  EXPECT_EQ(lines[1]["id"], 2);
  EXPECT_EQ(lines[2]["error"]["code"], -32700);
}

// Ids as a client writes them, with the kind and value the rules compare:
// integers by their exact value, floats by theirs, strings by their text.
struct IdCase {
  std::string text, kind, value;
};
const IdCase kIds[] = {
    {"-1", "int", "-1"}, {"18446744073709551615", "int", "18446744073709551615"},
    {"-9223372036854775808", "int", "-9223372036854775808"}, {"9223372036854775808", "int", "9223372036854775808"},
    {"18446744073709551614", "int", "18446744073709551614"}, {"-2.0", "float", "-2"},
    {"1", "int", "1"}, {"1.0", "float", "1"}, {"1e0", "float", "1"}, {"\"1\"", "string", "1"},
    {"\"\\u0031\"", "string", "1"}, {"0", "int", "0"}, {"-0", "float", "0"}, {"0.0", "float", "0"},
    {"\"a/b\"", "string", "a/b"}, {"\"a\\/b\"", "string", "a/b"},
};
// The cancellation's method, spelled with and without escapes.
const char* const kCancelMethods[] = {"notifications/cancelled", "notifications\\/cancelled",
                                      "notifications/cancell\\u0065d", "\\u006eotifications\\/cancelled"};

TEST_F(MessageLoopTest, CancellationsDropTheFirstQueuedRequestWithAnEqualIdAsAModelSays) {
  platform::set_entry_pause(1ms);  // the call runs on while every line below is read
  std::mt19937 random(5);
  auto pick = [&](std::size_t n) { return static_cast<std::size_t>(random() % n); };
  // No cancellation names the running call's id, only ids that a cast or a
  // kind would confuse with it.
  std::string text = scan(-2);
  std::vector<std::size_t> queued;  // kIds index of each ping still queued, in order
  for (int i = 0; i < 400; ++i) {
    std::size_t id = pick(std::size(kIds));
    if (pick(2) == 0) {
      text += R"({"jsonrpc":"2.0","id":)" + kIds[id].text + R"(,"method":"ping"})" "\n";
      queued.push_back(id);
      continue;
    }
    text += R"({"params":{"requestId":)" + kIds[id].text + R"(},"jsonrpc":"2.0","method":")" +
             kCancelMethods[pick(std::size(kCancelMethods))] + "\"}\n";
    auto same = [&](std::size_t other) { return kIds[other].kind == kIds[id].kind && kIds[other].value == kIds[id].value; };
    if (auto it = std::find_if(queued.begin(), queued.end(), same); it != queued.end()) queued.erase(it);
  }
  start();
  input.feed(text);
  finish();
  std::vector<Json> lines = output.lines();
  ASSERT_EQ(lines.size(), queued.size() + 1);
  EXPECT_EQ(lines[0]["id"], -2);  // never cancelled
  for (std::size_t i = 0; i < queued.size(); ++i) {
    EXPECT_EQ(to_compact_json(lines[i + 1]["id"]), to_compact_json(parse_json(kIds[queued[i]].text).value())) << i;
  }
}

TEST(ProgressNotifierTest, ValuesOnlyGrowStallsStepBelowTheNextCountAndNothingComesTooOften) {
  corvane::testing::FakeClock clock;
  std::vector<Json> sent;
  ProgressNotifier notifier(7, [&](const Json& m) { sent.push_back(m); }, clock);
  auto deliver = [&](std::uint64_t processed, std::uint64_t total = 0, const char* stage = "progress") {
    notifier.deliver(platform::ProgressEvent{"", stage, processed, total});
  };

  deliver(0);  // the first always goes
  clock.advance(100ms);
  deliver(5);  // too soon after it
  clock.advance(150ms);
  deliver(5);
  clock.advance(300ms);
  deliver(5);  // stalled, but not for long enough
  clock.advance(500ms);
  deliver(5, 0, "warning:SEARCH_DIR_PERMISSION_DENIED:/x");  // not progress
  deliver(5);
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(sent[0], (Json{{"jsonrpc", "2.0"},
                           {"method", "notifications/progress"},
                           {"params", {{"progress", 0}, {"progressToken", 7}}}}));
  EXPECT_EQ(sent[1]["params"]["progress"], 5);
  EXPECT_TRUE(sent[1]["params"]["progress"].is_number_integer());
  EXPECT_DOUBLE_EQ(sent[2]["params"]["progress"].get<double>(), 5.5);

  // A long stall: every step higher, none reaching the next count.
  for (int i = 0; i < 5000; ++i) {
    clock.advance(kStallStep);
    deliver(5);
  }
  ASSERT_EQ(sent.size(), 5003u);
  for (std::size_t i = 1; i < sent.size(); ++i) {
    EXPECT_GT(sent[i]["params"]["progress"].get<double>(), sent[i - 1]["params"]["progress"].get<double>()) << i;
  }
  EXPECT_LT(sent.back()["params"]["progress"].get<double>(), 6.0);

  clock.advance(kStallStep);
  deliver(6, 40);
  EXPECT_EQ(sent.back()["params"], (Json{{"progress", 6}, {"progressToken", 7}, {"total", 40}}));
}

TEST(ProgressNotifierTest, OnlyAStringOrIntegerTokenAsksForProgressAndIdsMatchByType) {
  auto with_meta = [](Json meta) { return Json{{"id", 1}, {"params", {{"_meta", std::move(meta)}}}}; };
  EXPECT_EQ(progress_token(with_meta({{"progressToken", "a"}})), Json("a"));
  EXPECT_EQ(progress_token(with_meta({{"progressToken", -4}})), Json(-4));
  EXPECT_FALSE(progress_token(with_meta({{"progressToken", 1.5}})));
  EXPECT_FALSE(progress_token(with_meta({{"progressToken", true}})));
  EXPECT_FALSE(progress_token(with_meta({{"progressToken", nullptr}})));
  EXPECT_FALSE(progress_token(with_meta({{"other", "a"}})));
  EXPECT_FALSE(progress_token(with_meta("a")));
  EXPECT_FALSE(progress_token(Json{{"id", 1}, {"params", "x"}}));
  EXPECT_FALSE(progress_token(Json{{"id", 1}}));

  EXPECT_TRUE(same_request_id(1, 1u));
  EXPECT_TRUE(same_request_id("x", "x"));
  EXPECT_FALSE(same_request_id(1, "1"));
  EXPECT_FALSE(same_request_id(1, 1.0));
  EXPECT_FALSE(same_request_id(1, 2));

  EXPECT_TRUE(std::holds_alternative<Cancellation>(read_message(cancel(5))));
  EXPECT_TRUE(std::holds_alternative<std::monostate>(read_message(cancel(nullptr))));
  // With an id it is a request like any other (and its method is unknown).
  EXPECT_TRUE(std::holds_alternative<Request>(
      read_message(R"({"id":1,"method":"notifications/cancelled","params":{"requestId":1}})")));
}

}  // namespace
}  // namespace corvane::mcp
