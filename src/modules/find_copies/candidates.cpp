#include "modules/find_copies/candidates.h"

#include <memory>
#include <utility>

#include "modules/find_copies/validation.h"
#include "platform/dir_walk.h"
#include "platform/path.h"
#include "platform/text.h"

namespace corvane::find_copies {

namespace {

using platform::DirectoryWalk;
using platform::EntryKind;

// The native listing, remembering whether the last directory that failed to
// open was refused for lack of permission (the walk's end event only says
// that it failed).
class DenialNotingListing final : public platform::ListingSource {
 public:
  DenialNotingListing() : inner_(platform::native_listing()) {}

  Result<std::unique_ptr<platform::Listing>> open_root(std::string_view root) override {
    return noted(inner_->open_root(root));
  }
  Result<std::unique_ptr<platform::Listing>> open_child(platform::Listing& parent, const Entry& entry) override {
    return noted(inner_->open_child(parent, entry));
  }
  Read read(platform::Listing& listing, Entry& out) override { return inner_->read(listing, out); }
  Result<platform::EntryStat> stat(platform::Listing& listing, const Entry& entry) override {
    return inner_->stat(listing, entry);
  }
  void release(platform::Listing& listing) override { inner_->release(listing); }
  bool resume(platform::Listing& listing, platform::Listing& child) override { return inner_->resume(listing, child); }

  bool last_open_denied() const { return denied_; }

 private:
  Result<std::unique_ptr<platform::Listing>> noted(Result<std::unique_ptr<platform::Listing>> opened) {
    denied_ = !opened.ok() && opened.error_code() == ErrorCode::permission_denied;
    return opened;
  }

  std::unique_ptr<platform::ListingSource> inner_;
  bool denied_ = false;
};

void collect_root(const std::string& root, const CollectOptions& options, const platform::TaskHooks& hooks,
                  platform::ProgressReporter& reporter, std::vector<Candidate>& out) {
  platform::WalkOptions walk_options;
  walk_options.report_directory_ends = true;
  walk_options.hooks = hooks;
  if (!options.recursive) walk_options.max_depth = 1;
  auto listing = std::make_unique<DenialNotingListing>();
  DenialNotingListing& noted = *listing;
  DirectoryWalk walk(root, walk_options, std::move(listing));

  while (walk.next()) {
    if (walk.event() == DirectoryWalk::Event::directory_end) {
      if (!walk.summary().opened && noted.last_open_denied()) {
        reporter.report(platform::ProgressEvent{
            std::string(options.task_id),
            std::string(platform::kWarningStage) + ":" +
                std::string(copy_error_code(CopyError::search_dir_permission_denied)) + ":" +
                platform::display_path(walk.path()),
            0, 0});
      }
      continue;
    }
    // Links are never taken or followed; on POSIX neither are FIFOs, sockets
    // and devices (opening a FIFO would block). Directories are descended
    // into by the walk itself, down to max_depth.
    if (walk.kind() != EntryKind::file) continue;
    // Names go by the system's own spelling: the shown text of a name that
    // is not valid UTF-8 (or UTF-16) stands for many names and opens none.
    if (extension_key(walk.raw_name()) != options.seed_key) continue;
    // The walk starts at a canonical root and never passes through a link,
    // so the path it built is already the file's canonical path.
    if (walk.raw_path() == options.seed_path) continue;
    Result<platform::EntryStat> stat = walk.stat();
    if (!stat.ok()) continue;
    out.push_back(Candidate{walk.raw_path(), stat->size, unix_seconds_from_filetime(stat->last_write)});
  }
}

}  // namespace

std::string_view file_name_of(std::string_view path) {
  std::size_t at = path.size();
  while (at > 0 && !platform::is_path_separator(path[at - 1])) --at;
  return path.substr(at);
}

std::string extension_key(std::string_view file_name) {
  std::size_t dot = file_name.rfind('.');
  if (dot == std::string_view::npos || dot + 1 == file_name.size()) return {};
  if (!platform::is_valid_utf8(file_name)) return {};
  return platform::lower_case_ascii(file_name.substr(dot + 1));
}

std::vector<Candidate> collect_candidates(const CollectOptions& options, const platform::TaskHooks& hooks,
                                          platform::ProgressReporter& reporter) {
  std::vector<Candidate> out;
  // Roots are taken last first, as a work list would; the order of the
  // candidates does not matter, the matches are sorted later.
  for (auto root = options.roots.rbegin(); root != options.roots.rend(); ++root) {
    if (hooks.stopped()) break;
    collect_root(*root, options, hooks, reporter, out);
  }
  return out;
}

}  // namespace corvane::find_copies
