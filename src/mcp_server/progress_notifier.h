// Turns a call's progress events into "notifications/progress" messages for
// the client that sent a progress token with the call.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>

#include "modules/tool_outcome.h"
#include "platform/progress.h"

namespace corvane::mcp {

// A stalled count is stepped up at this gap, so that a client that resets
// its timeout on progress hears at least once a second.
inline constexpr std::chrono::milliseconds kStallStep{750};

// The token of a request's params._meta.progressToken when it is a string
// or an integer; nothing otherwise (no progress is sent then).
std::optional<Json> progress_token(const Json& message);

// A sink for one call. Progress values strictly increase, as the protocol
// asks: a grown count is sent as it is (with the total when known); a count
// that has not moved for kStallStep is sent as a fraction above the last
// count, 1/2, 2/3, 3/4... of the way to the next whole count, which it never
// reaches. An event's message, when it has one, goes along. Warnings are
// not progress and are dropped. Messages closer than
// `min_gap` to the previous one are dropped. Safe to call from several
// threads.
class ProgressNotifier final : public platform::ProgressSink {
 public:
  using Send = std::function<void(const Json& message)>;
  ProgressNotifier(Json token, Send send, platform::Clock& clock,
                   std::chrono::steady_clock::duration min_gap = std::chrono::milliseconds(200));

  void deliver(const platform::ProgressEvent& event) override;

 private:
  Json token_;
  Send send_;
  platform::Clock& clock_;
  std::chrono::steady_clock::duration min_gap_;
  std::mutex mutex_;
  std::optional<platform::Clock::time_point> last_sent_;
  std::uint64_t count_ = 0;   // the last whole count sent
  std::uint64_t stalls_ = 0;  // fractional steps sent since
  double last_value_ = 0;
};

}  // namespace corvane::mcp
