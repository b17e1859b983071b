// Lines written for people rather than programs: the one that tells a cut
// array reply, and each tool's wording of its progress.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace corvane::mcp {

// A count with its thousands grouped: 120000 gives "120,000".
std::string grouped(std::uint64_t count);

// The line that follows the footer of an array reply that lost records:
// "Only 181 of the 200 files found are listed: the rest did not fit in one
// reply."
std::string cut_note(std::uint64_t listed, std::uint64_t found, std::string_view noun);

// Progress wordings (see ProgressWording): a walk's entries ("Listed
// 120,000 entries"); a volume listing's volumes; a health report's disks,
// each counted once read; the copy finder's listing, then its candidates
// ("Compared 300 of 1,200 candidates").
std::string listed_entries(std::uint64_t processed, std::uint64_t total, std::uint64_t stage_start);
std::string checked_volumes(std::uint64_t processed, std::uint64_t total, std::uint64_t stage_start);
std::string read_disks(std::uint64_t processed, std::uint64_t total, std::uint64_t stage_start);
std::string compared_candidates(std::uint64_t processed, std::uint64_t total, std::uint64_t stage_start);
// The duplicate finder's listing, then the bytes of the files it compares
// ("Compared 3,000,000 of 12,000,000 bytes").
std::string compared_bytes(std::uint64_t processed, std::uint64_t total, std::uint64_t stage_start);

}  // namespace corvane::mcp
