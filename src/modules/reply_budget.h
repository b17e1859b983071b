// How large a tool's reply may grow, and the record keeping that follows
// from it. The server cuts every record list of a payload so that the reply
// line stays within kReplyBudget bytes; a module need not hold records the
// cut would drop anyway, so it keeps a list's records while they can still
// fit and only counts the rest.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

namespace corvane {

// The most bytes a tool's reply line may take (newline excluded). Hosts
// refuse larger results, and some drop the connection over them.
inline constexpr std::size_t kReplyBudget = 1'000'000;

// Bytes every record takes in a reply besides its texts (indentation, keys,
// punctuation): a floor, so that a record's text bytes plus this never
// exceed what the record really adds to the reply.
inline constexpr std::size_t kRecordFloor = 32;

// A list's records in their final order: the first ones are kept while the
// floors of all kept so far fit in `budget`; from the first that does not,
// every record is only counted, since a reply lists a prefix of the list.
template <typename Record>
class KeptRecords {
 public:
  explicit KeptRecords(std::size_t budget = kReplyBudget) : budget_(budget) {}

  // `text_bytes`: the bytes of the record's texts (path, name...).
  void add(Record record, std::size_t text_bytes) {
    add_made(text_bytes, [&] { return std::move(record); });
  }

  // As add, building the record only when it is kept: past the budget a
  // scan pays for counting alone.
  template <typename Make>
  void add_made(std::size_t text_bytes, Make make) {
    ++found_;
    if (full_) return;
    std::size_t floor = text_bytes + kRecordFloor;
    if (floor > budget_ - used_) {
      full_ = true;
      return;
    }
    used_ += floor;
    records_.push_back(make());
  }

  std::size_t found() const { return found_; }
  std::size_t omitted() const { return found_ - records_.size(); }
  std::vector<Record>& records() { return records_; }

 private:
  std::size_t budget_;
  std::size_t used_ = 0;
  std::size_t found_ = 0;
  bool full_ = false;
  std::vector<Record> records_;
};

// Cuts `records` (in final order) to the prefix a reply could list; returns
// how many were dropped. `text_bytes(record)` as for KeptRecords::add.
template <typename Record, typename TextBytes>
std::size_t keep_what_fits(std::vector<Record>& records, TextBytes text_bytes, std::size_t budget = kReplyBudget) {
  std::size_t used = 0;
  for (std::size_t i = 0; i < records.size(); ++i) {
    std::size_t floor = text_bytes(records[i]) + kRecordFloor;
    if (floor > budget - used) {
      std::size_t dropped = records.size() - i;
      records.erase(records.begin() + static_cast<std::ptrdiff_t>(i), records.end());
      records.shrink_to_fit();
      return dropped;
    }
    used += floor;
  }
  return 0;
}

}  // namespace corvane
