#include "mcp_server/wording.h"

namespace corvane::mcp {

namespace {

std::string_view noun_for(std::uint64_t count, std::string_view one, std::string_view many) {
  return count == 1 ? one : many;
}

}  // namespace

std::string grouped(std::uint64_t count) {
  std::string digits = std::to_string(count);
  std::string out;
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return out;
}

std::string cut_note(std::uint64_t listed, std::uint64_t found, std::string_view noun) {
  return "Only " + grouped(listed) + " of the " + grouped(found) + " " + std::string(noun) +
         " found are listed: the rest did not fit in one reply.";
}

std::string listed_entries(std::uint64_t processed, std::uint64_t, std::uint64_t) {
  return "Listed " + grouped(processed) + " " + std::string(noun_for(processed, "entry", "entries"));
}

std::string checked_volumes(std::uint64_t processed, std::uint64_t total, std::uint64_t) {
  if (total == 0) return "Looking for volumes";
  return "Checked " + grouped(processed) + " of " + grouped(total) + " " +
         std::string(noun_for(total, "volume", "volumes"));
}

// The disks are read one after another, so "disk 2 of 3" is both the last
// one done and, before the first is done, the one being read.
std::string read_disks(std::uint64_t processed, std::uint64_t total, std::uint64_t) {
  if (total == 0) return "Looking for disks";
  if (processed == 0) return "Reading SMART data of disk 1 of " + grouped(total);
  return "Read SMART data of disk " + grouped(processed) + " of " + grouped(total);
}

// One count runs through both stages: the entries listed, then the
// candidates, whose stage starts where the listing ended.
std::string compared_candidates(std::uint64_t processed, std::uint64_t total, std::uint64_t stage_start) {
  if (total == 0 || stage_start > processed || stage_start > total) return listed_entries(processed, total, 0);
  std::uint64_t candidates = total - stage_start;
  return "Compared " + grouped(processed - stage_start) + " of " + grouped(candidates) + " " +
         std::string(noun_for(candidates, "candidate", "candidates"));
}

std::string compared_bytes(std::uint64_t processed, std::uint64_t total, std::uint64_t stage_start) {
  if (total == 0 || stage_start > processed || stage_start > total) return listed_entries(processed, total, 0);
  std::uint64_t bytes = total - stage_start;
  return "Compared " + grouped(processed - stage_start) + " of " + grouped(bytes) + " " +
         std::string(noun_for(bytes, "byte", "bytes"));
}

}  // namespace corvane::mcp
