#include "mcp_server/progress_notifier.h"

#include <utility>

namespace corvane::mcp {

std::optional<Json> progress_token(const Json& message) {
  auto params = message.find("params");
  if (params == message.end() || !params->is_object()) return std::nullopt;
  auto meta = params->find("_meta");
  if (meta == params->end() || !meta->is_object()) return std::nullopt;
  auto token = meta->find("progressToken");
  if (token == meta->end() || !(token->is_string() || token->is_number_integer())) return std::nullopt;
  return *token;
}

ProgressNotifier::ProgressNotifier(Json token, Send send, platform::Clock& clock,
                                   std::chrono::steady_clock::duration min_gap)
    : token_(std::move(token)), send_(std::move(send)), clock_(clock), min_gap_(min_gap) {}

void ProgressNotifier::deliver(const platform::ProgressEvent& event) {
  if (event.stage.starts_with(platform::kWarningStage)) return;
  std::lock_guard lock(mutex_);
  platform::Clock::time_point now = clock_.now();
  if (last_sent_ && now - *last_sent_ < min_gap_) return;

  Json progress;
  if (!last_sent_ || event.processed > count_) {
    count_ = event.processed;
    stalls_ = 0;
    last_value_ = static_cast<double>(count_);
    progress = count_;
  } else if (now - *last_sent_ >= kStallStep) {
    double step = static_cast<double>(stalls_ + 1) / static_cast<double>(stalls_ + 2);
    double value = static_cast<double>(count_) + step;
    // A count so large that no fraction above it is representable any more
    // gets no message: it would not be an increase.
    if (!(value > last_value_) || value >= static_cast<double>(count_) + 1) return;
    ++stalls_;
    last_value_ = value;
    progress = value;
  } else {
    return;
  }

  last_sent_ = now;
  // Progress never fails the call it reports on: without memory for the
  // message, this one is simply not sent.
  try {
    Json params{{"progress", std::move(progress)}, {"progressToken", token_}};
    if (event.total > 0) params["total"] = event.total;
    if (!event.message.empty()) params["message"] = event.message;
    send_(Json{{"jsonrpc", "2.0"}, {"method", "notifications/progress"}, {"params", std::move(params)}});
  } catch (const std::exception&) {
  }
}

}  // namespace corvane::mcp
