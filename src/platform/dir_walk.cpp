#include "platform/dir_walk.h"

#include "platform/path.h"

namespace corvane::platform {

namespace {

constexpr std::int64_t kTicksPerSecond = 10'000'000;
constexpr std::int64_t kSecondsFrom1601To1970 = 11'644'473'600;

}  // namespace

std::int64_t filetime_from_unix(std::int64_t seconds, std::int64_t nanoseconds) {
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
  // Normalise so that 0 <= nanoseconds < 1e9; seconds then rounds down.
  seconds += nanoseconds / 1'000'000'000;
  nanoseconds %= 1'000'000'000;
  if (nanoseconds < 0) {
    nanoseconds += 1'000'000'000;
    seconds -= 1;
  }
  if (seconds > kMax / kTicksPerSecond - kSecondsFrom1601To1970 - 1) return kMax;
  if (seconds < kMin / kTicksPerSecond + 1) return kMin;
  return (seconds + kSecondsFrom1601To1970) * kTicksPerSecond + nanoseconds / 100;
}

EntryKind kind_from_attributes(std::uint32_t attributes, std::uint32_t reparse_tag) {
  constexpr std::uint32_t kDirectory = 0x10;
  constexpr std::uint32_t kReparsePoint = 0x400;
  constexpr std::uint32_t kNameSurrogate = 0x20000000;
  if ((attributes & kReparsePoint) != 0 && (reparse_tag & kNameSurrogate) != 0) return EntryKind::link;
  return (attributes & kDirectory) != 0 ? EntryKind::directory : EntryKind::file;
}

EntryKind kind_from_mode(std::uint32_t mode, bool crosses_mount) {
  // The POSIX file-type bits, spelled out so this compiles everywhere.
  constexpr std::uint32_t kTypeMask = 0170000;
  switch (mode & kTypeMask) {
    case 0100000:
      return EntryKind::file;
    case 0040000:
      return crosses_mount ? EntryKind::link : EntryKind::directory;
    case 0120000:
      return EntryKind::link;
    default:
      return EntryKind::special;
  }
}

DirectoryWalk::DirectoryWalk(std::string root, WalkOptions options, std::unique_ptr<ListingSource> source)
    : source_(std::move(source)), options_(options), path_(root), raw_path_(root), root_(std::move(root)) {}

DirectoryWalk::~DirectoryWalk() {
  while (!levels_.empty()) {
    source_->close();
    levels_.pop_back();
  }
}

std::string_view DirectoryWalk::name() const { return std::string_view(path_).substr(name_offset_); }
std::string_view DirectoryWalk::raw_name() const { return std::string_view(raw_path_).substr(raw_name_offset_); }

Result<EntryStat> DirectoryWalk::stat() { return source_->stat(); }

void DirectoryWalk::abandon(std::size_t level) {
  for (std::size_t i = level; i < levels_.size(); ++i) levels_[i].abandoned = true;
  descend_ = false;
}

void DirectoryWalk::set_entry_path() {
  const Level& top = levels_.back();
  path_.resize(top.path_length);
  if (join_needs_separator(path_)) path_ += kPathSeparator;
  name_offset_ = path_.size();
  path_ += entry_.name;
  raw_path_.resize(top.raw_path_length);
  if (join_needs_separator(raw_path_)) raw_path_ += kPathSeparator;
  raw_name_offset_ = raw_path_.size();
  raw_path_ += entry_.raw_name;
}

// Descends into the directory entry just delivered. False when it could not
// be opened; then its end event (if wanted) is already set up.
bool DirectoryWalk::enter_child() {
  if (source_->open_child().ok()) {
    levels_.push_back(
        Level{path_.size(), name_offset_, raw_path_.size(), raw_name_offset_, ListingSummary{true, false, 0, 0}});
    return true;
  }
  event_ = Event::directory_end;
  ended_ = ListingSummary{};
  return false;
}

// Ends the innermost listing; true when an end event is to be delivered.
bool DirectoryWalk::finish_top() {
  Level top = levels_.back();
  source_->close();
  levels_.pop_back();
  if (!options_.report_directory_ends) return false;
  path_.resize(top.path_length);
  name_offset_ = top.name_offset;
  raw_path_.resize(top.raw_path_length);
  raw_name_offset_ = top.raw_name_offset;
  depth_ = levels_.size();
  event_ = Event::directory_end;
  kind_ = EntryKind::directory;
  ended_ = top.summary;
  return true;
}

bool DirectoryWalk::next() {
  if (!started_) {
    started_ = true;
    if (!source_->open_root(root_).ok()) {
      if (!options_.report_directory_ends) return false;
      event_ = Event::directory_end;
      kind_ = EntryKind::directory;
      depth_ = 0;
      name_offset_ = path_.size();
      raw_name_offset_ = raw_path_.size();
      ended_ = ListingSummary{};
      return true;
    }
    levels_.push_back(Level{path_.size(), path_.size(), raw_path_.size(), raw_path_.size(),
                            ListingSummary{true, false, 0, 0}});
  } else if (descend_) {
    descend_ = false;
    if (!enter_child() && options_.report_directory_ends) return true;
  }

  while (!levels_.empty()) {
    Level& top = levels_.back();
    if (top.abandoned) {
      if (finish_top()) return true;
      continue;
    }
    switch (source_->read(entry_)) {
      case ListingSource::Read::entry:
        top.failure_run = 0;
        ++top.summary.entries;
        kind_ = entry_.kind;
        depth_ = levels_.size();
        event_ = Event::entry;
        set_entry_path();
        descend_ = kind_ == EntryKind::directory && depth_ < options_.max_depth;
        return true;
      case ListingSource::Read::failed_entry:
        ++top.summary.failures;
        if (++top.failure_run >= kMaxConsecutiveFailures) top.abandoned = true;
        continue;
      case ListingSource::Read::error:
        ++top.summary.failures;
        if (finish_top()) return true;
        continue;
      case ListingSource::Read::end:
        top.summary.complete = true;
        if (finish_top()) return true;
        continue;
    }
  }
  return false;
}

}  // namespace corvane::platform
