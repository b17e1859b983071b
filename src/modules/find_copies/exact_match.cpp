#include "modules/find_copies/exact_match.h"

#include <algorithm>

#include "modules/fs_noatime/fs_noatime.h"
#include "platform/path.h"
#include "platform/runtime.h"

namespace corvane::find_copies {

namespace {

// Fills `buffer` from `offset` as far as the file goes; the count read. A
// failed seek or read gives a short window, as the end of the file would.
std::size_t read_window(fs_noatime::ReadHandle& handle, std::uint64_t offset, std::vector<std::uint8_t>& buffer) {
  std::size_t filled = 0;
  if (!handle.seek(offset)) return 0;
  while (filled < buffer.size()) {
    std::int64_t got = handle.read(buffer.data() + filled, buffer.size() - filled);
    if (got <= 0) break;
    filled += static_cast<std::size_t>(got);
  }
  return filled;
}

}  // namespace

Result<Digest> partial_digest(fs_noatime::ReadHandle& handle, std::uint64_t size, std::vector<std::uint8_t>& buffer,
                              std::uint64_t& bytes_read) {
  // One handle serves both windows: the head, and the tail of a file over
  // two windows. The digest covers the size so that files of different
  // sizes never share a fingerprint.
  buffer.resize(static_cast<std::size_t>(std::min<std::uint64_t>(size, kPartialWindow)));
  fs_noatime::Sha256 hash;
  std::uint8_t size_le[8];
  for (int i = 0; i < 8; ++i) size_le[i] = static_cast<std::uint8_t>(size >> (8 * i));
  hash.update(size_le, sizeof size_le);

  std::size_t got = read_window(handle, 0, buffer);
  hash.update(buffer.data(), got);
  bytes_read += got;
  if (size > 2 * kPartialWindow) {
    got = read_window(handle, size - kPartialWindow, buffer);
    hash.update(buffer.data(), got);
    bytes_read += got;
  }
  return hash.finish();
}

Result<Digest> whole_digest(fs_noatime::ReadHandle& handle, std::vector<std::uint8_t>& buffer,
                            const std::stop_token& stop, std::uint64_t& bytes_read) {
  fs_noatime::Sha256 hash;
  while (!stop.stop_requested()) {
    std::int64_t got = handle.read(buffer.data(), buffer.size());
    if (got <= 0) break;
    hash.update(buffer.data(), static_cast<std::size_t>(got));
    bytes_read += static_cast<std::uint64_t>(got);
  }
  return hash.finish();
}

Result<std::string> partial_fingerprint(std::string_view path) {
  Result<platform::PathMetadata> meta = platform::path_metadata(path);
  if (!meta.ok()) return meta.failure();
  Result<fs_noatime::ReadHandle> handle = fs_noatime::open_for_read(path);
  if (!handle.ok()) return handle.failure();
  std::vector<std::uint8_t> buffer;
  std::uint64_t read = 0;
  Result<Digest> digest = partial_digest(handle.value(), meta->stat.size, buffer, read);
  if (!digest.ok()) return digest.failure();
  return fs_noatime::hex_lower(digest->data(), digest->size());
}

Result<SeedDigests> seed_digests(std::string_view seed_path, std::uint64_t seed_size, const std::stop_token& stop) {
  SeedDigests digests;
  Result<std::string> full = fs_noatime::sha256_file_hex(seed_path, stop);
  if (!full.ok()) return copy_error(CopyError::seed_read_failed);
  digests.full = std::move(full).value();
  if (seed_size > kPartialWindow) {
    Result<std::string> partial = partial_fingerprint(seed_path);
    if (!partial.ok()) return copy_error(CopyError::seed_read_failed);
    digests.partial = std::move(partial).value();
  }
  return digests;
}

std::vector<CopyEntry> find_identical(const std::vector<Candidate>& candidates, std::uint64_t seed_size,
                                      const SeedDigests& seed, const platform::TaskHooks& hooks) {
  // The size filter opens nothing, so it runs before the parallel loop.
  std::vector<std::size_t> same_size;
  for (std::size_t i = 0; i < candidates.size(); ++i) {
    if (candidates[i].size == seed_size) same_size.push_back(i);
  }
  hooks.advance(candidates.size() - same_size.size());
  // One slot per candidate: each is written by exactly one worker, so
  // nothing is shared while comparing but the token.
  std::vector<unsigned char> identical(candidates.size(), 0);
  runtime::parallel_pool().for_each_index(same_size.size(), [&](std::size_t k) {
    const std::size_t i = same_size[k];
    const Candidate& c = candidates[i];
    if (hooks.stopped()) return;
    // Counted when its comparison ends, however it ends.
    struct Done {
      const platform::TaskHooks& hooks;
      ~Done() { hooks.advance(); }
    } done{hooks};
    if (seed.partial) {
      Result<std::string> partial = partial_fingerprint(c.path);
      if (!partial.ok() || partial.value() != *seed.partial) return;
    }
    if (hooks.stopped()) return;
    Result<std::string> full = fs_noatime::sha256_file_hex(c.path, hooks.stop);
    if (full.ok() && full.value() == seed.full && !hooks.stopped()) identical[i] = 1;
  }, kFilesAtOnce);

  std::vector<CopyEntry> rows;
  for (std::size_t i = 0; i < candidates.size(); ++i) {
    if (!identical[i]) continue;
    const Candidate& c = candidates[i];
    rows.push_back(CopyEntry{std::nullopt, platform::display_path(c.path), c.size, c.modified, MatchType::identical});
  }
  return rows;
}

}  // namespace corvane::find_copies
