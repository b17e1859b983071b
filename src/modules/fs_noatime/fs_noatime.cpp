#include "modules/fs_noatime/fs_noatime.h"

#include <algorithm>

#include "platform/path.h"

namespace corvane::fs_noatime {

namespace {

// Appends up to `limit` more bytes from the handle's position.
void read_into(ReadHandle& handle, Bytes& out, std::uint64_t limit) {
  std::uint64_t wanted = limit;
  while (wanted > 0) {
    std::size_t chunk = static_cast<std::size_t>(std::min<std::uint64_t>(wanted, kReadBufferSize));
    std::size_t at = out.size();
    out.resize(at + chunk);
    std::int64_t got = handle.read(out.data() + at, chunk);
    out.resize(at + static_cast<std::size_t>(std::max<std::int64_t>(got, 0)));
    if (got <= 0) return;
    wanted -= static_cast<std::uint64_t>(got);
  }
}

// " " + path + ": " + text, built by appending (GCC 12 misreports the
// chained operator+ form under -Wrestrict).
std::string path_error(std::string_view path, const std::string& text) {
  std::string out;
  out.reserve(path.size() + text.size() + 3);
  out.append(" ").append(path).append(": ").append(text);
  return out;
}

}  // namespace

Result<Bytes> read_whole(std::string_view path) {
  auto handle = open_for_read(path);
  if (!handle.ok()) return make_error(handle.error());
  Bytes out;
  read_into(*handle, out, UINT64_MAX);
  return out;
}

Result<Bytes> read_range(std::string_view path, std::uint64_t offset, std::uint64_t length) {
  auto handle = open_for_read(path);
  if (!handle.ok()) return make_error(handle.error());
  (void)handle->seek(offset);  // a failed seek shows up as a short read
  Bytes out;
  // The buffer grows with what arrives, so a huge length cannot exhaust memory.
  out.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(length, kWholeSampleLimit)));
  read_into(*handle, out, length);
  return out;
}

Result<Bytes> read_sample(std::string_view path, std::uint64_t size) {
  if (size <= kWholeSampleLimit) return read_whole(path);
  Bytes out;
  for (std::uint64_t offset : {std::uint64_t{0}, size / 2, size - kReadBufferSize}) {
    auto part = read_range(path, offset, kReadBufferSize);
    if (!part.ok()) return make_error(part.error());
    out.insert(out.end(), part->begin(), part->end());
  }
  return out;
}

Result<std::string> sha256_file_hex(std::string_view path, const std::stop_token& stop) {
  auto meta = platform::path_metadata(path);
  if (!meta.ok()) return make_error(path_error(path, meta.error()));
  if (meta->stat.size > kHashSizeLimit) return make_error(std::string(">2GB: ").append(path));
  auto handle = open_for_read(path);
  if (!handle.ok()) return make_error(path_error(path, handle.error()));
  Sha256 hash;
  std::vector<std::uint8_t> buffer(kReadBufferSize);
  while (!stop.stop_requested()) {
    std::int64_t got = handle->read(buffer.data(), buffer.size());
    if (got <= 0) break;
    hash.update(buffer.data(), static_cast<std::size_t>(got));
  }
  auto digest = hash.finish();
  if (!digest.ok()) return make_error(path_error(path, digest.error()));
  return hex_lower(digest->data(), digest->size());
}

std::string hex_lower(const std::uint8_t* data, std::size_t size) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(size * 2);
  for (std::size_t i = 0; i < size; ++i) {
    out += kDigits[data[i] >> 4];
    out += kDigits[data[i] & 0x0F];
  }
  return out;
}

}  // namespace corvane::fs_noatime
