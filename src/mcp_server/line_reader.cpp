#include "mcp_server/line_reader.h"

#include <cstring>

namespace corvane::mcp {

namespace {
constexpr std::size_t kChunk = 1 << 16;

std::string take_line(const std::string& buffer, std::size_t from, std::size_t to) {
  if (to > from && buffer[to - 1] == '\r') --to;
  return buffer.substr(from, to - from);
}
}  // namespace

bool LineReader::fill() {
  if (ended_) return false;
  // Drop consumed bytes before growing, so a long burst of short lines does
  // not keep them all.
  if (head_ > 0) {
    pending_.erase(0, head_);
    scan_from_ -= head_;
    head_ = 0;
  }
  // A session keeps no memory for its largest request.
  if (pending_.capacity() > kLargeLineBytes && pending_.size() + kChunk <= kLargeLineBytes) {
    std::string smaller;
    smaller.reserve(pending_.size() + kChunk);
    smaller.append(pending_);
    pending_.swap(smaller);
  }
  std::size_t old = pending_.size();
  pending_.resize(old + kChunk);
  long n = read_(pending_.data() + old, kChunk);
  pending_.resize(old + (n > 0 ? static_cast<std::size_t>(n) : 0));
  if (n <= 0) ended_ = true;
  if (n < 0) failed_ = true;
  return n > 0;
}

std::optional<std::string> LineReader::next() {
  for (;;) {
    const char* base = pending_.data();
    const void* nl = std::memchr(base + scan_from_, '\n', pending_.size() - scan_from_);
    if (nl != nullptr) {
      std::size_t at = static_cast<std::size_t>(static_cast<const char*>(nl) - base);
      std::string line = take_line(pending_, head_, at);
      head_ = scan_from_ = at + 1;
      return line;
    }
    scan_from_ = pending_.size();
    if (!fill()) {
      // A read error loses the unfinished line; end of input completes it.
      if (failed_ || head_ == pending_.size()) return std::nullopt;
      std::string line = take_line(pending_, head_, pending_.size());
      head_ = scan_from_ = pending_.size();
      return line;
    }
  }
}

}  // namespace corvane::mcp
