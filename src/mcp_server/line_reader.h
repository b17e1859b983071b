// Splits a byte stream into lines. A line is every byte up to the next "\n"
// (removed, with one "\r" before it); a last line without "\n" still counts.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>

namespace corvane::mcp {

// A line longer than this leaves memory worth giving back once it is done:
// the reader's buffer shrinks again below it (see LineReader::next).
inline constexpr std::size_t kLargeLineBytes = std::size_t{4} << 20;

class LineReader {
 public:
  // `read` fills up to n bytes and returns the count, 0 at end, -1 on error.
  using ReadFn = std::function<long(char* buffer, std::size_t n)>;
  explicit LineReader(ReadFn read) : read_(std::move(read)) {}

  // The next line, or nothing at end of input or after a read error. A
  // buffer grown past kLargeLineBytes for one line is given back on the
  // next call that reads.
  std::optional<std::string> next();

 private:
  bool fill();

  ReadFn read_;
  std::string pending_;
  std::size_t head_ = 0;       // start of the unread part of pending_
  std::size_t scan_from_ = 0;  // bytes of pending_ already known to hold no "\n"
  bool ended_ = false;
  bool failed_ = false;
};

}  // namespace corvane::mcp
