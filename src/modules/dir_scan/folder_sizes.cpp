#include "modules/dir_scan/folder_sizes.h"

#include <algorithm>
#include <deque>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "modules/dir_scan/records.h"

namespace corvane::dir_scan {

using platform::DirectoryWalk;
using platform::EntryKind;
using platform::WalkOptions;

namespace {

// The order folders are shown in: larger first, then by name bytes, then
// the one met first (two names can show as the same text).
bool shown_before(const FolderNode& a, const FolderNode& b) {
  if (a.size != b.size) return a.size > b.size;
  if (a.name != b.name) return a.name < b.name;
  return a.order < b.order;
}

// Extensions: larger first, then null, then by bytes.
bool extension_before(const ExtensionTotal& a, const ExtensionTotal& b) {
  if (a.size != b.size) return a.size > b.size;
  if (a.extension.has_value() != b.extension.has_value()) return !a.extension.has_value();
  return a.extension.has_value() && *a.extension < *b.extension;
}

struct FileIdentity {
  std::uint64_t device;
  std::uint64_t inode;
  bool operator==(const FileIdentity&) const = default;
};

struct FileIdentityHash {
  std::size_t operator()(const FileIdentity& id) const {
    return std::hash<std::uint64_t>{}(id.inode * 0x9E3779B97F4A7C15ull ^ id.device);
  }
};

// An open folder of the walk: its totals so far and, while its level is
// above the depth shown, the largest subfolders met so far (node.folders, a
// heap whose front is the first to give way), with the count and size of
// all of them.
struct Frame {
  FolderNode node;
  std::uint64_t subfolders = 0;
  std::uint64_t subfolders_size = 0;
};

class FolderSizeScan {
 public:
  FolderSizeScan(const std::string& root, const FolderSizesOptions& options)
      : options_(options), excludes_(options.exclude_paths),
        walk_(root,
              WalkOptions{.report_directory_ends = true,
                          .hooks = options.hooks,
                          .scope = [this](std::string_view path, std::size_t) { return !excluded(path); },
                          .walkers = platform::kEveryProcessor},
              options.listing()) {
    result_.root.path = root;
    result_.root.shows_folders = true;
    frames_.push_back(Frame{result_.root});
  }

  FolderSizes run() {
    while (walk_.next()) {
      if (walk_.event() == DirectoryWalk::Event::directory_end) {
        on_end();
      } else if (walk_.kind() == EntryKind::directory) {
        on_folder();
      } else if (walk_.kind() == EntryKind::file) {
        on_file();
      }
    }
    // A stopped walk leaves folders open: they count with what they hold.
    while (frames_.size() > 1) close_frame();
    result_.root = std::move(frames_.back().node);
    finish(result_.root, frames_.back());
    rank_extensions();
    return std::move(result_);
  }

 private:
  // Also asked from the warmers' threads: it reads only what never changes.
  bool excluded(std::string_view path) const {
    return !excludes_.empty() && excludes_.any_prefix_of(lowered_path(path));
  }

  void on_folder() {
    if (!walk_.in_scope()) {
      walk_.skip_directory();
      return;
    }
    FolderNode node{.name = std::string(walk_.name()), .path = walk_.path(), .order = met_++};
    node.shows_folders = walk_.depth() < options_.depth;
    frames_.push_back(Frame{std::move(node)});
  }

  void on_end() {
    if (!walk_.summary().opened) ++result_.unreadable_count;
    if (walk_.depth() > 0) close_frame();
  }

  void on_file() {
    auto stat = walk_.stat();
    if (!stat.ok()) return;
    if (stat->links > 1 && !linked_.insert(FileIdentity{stat->device, stat->file_id}).second) return;
    FolderNode& here = frames_.back().node;
    here.files_size += stat->size;
    ++here.files_count;
    here.size += stat->size;
    here.allocated_size += stat->allocated;
    ++here.file_count;
    here.modified = std::max(here.modified, unix_seconds(stat->last_write));
    ExtensionTotal& total = extension_total(walk_.name());
    total.size += stat->size;
    ++total.file_count;
  }

  ExtensionTotal& extension_total(std::string_view name) {
    std::optional<std::string> extension = extension_of(name);
    if (!extension) return no_extension_;
    auto [it, added] = extensions_.try_emplace(*extension);
    if (added) it->second.extension = std::move(extension);
    return it->second;
  }

  // Ends the innermost folder: its totals join its parent's, and it is
  // offered to the parent's list when the parent shows its subfolders.
  void close_frame() {
    Frame frame = std::move(frames_.back());
    frames_.pop_back();
    finish(frame.node, frame);
    Frame& parent = frames_.back();
    FolderNode& up = parent.node;
    up.size += frame.node.size;
    up.allocated_size += frame.node.allocated_size;
    up.file_count += frame.node.file_count;
    up.folder_count += 1 + frame.node.folder_count;
    up.modified = std::max(up.modified, frame.node.modified);
    ++parent.subfolders;
    parent.subfolders_size += frame.node.size;
    if (up.shows_folders) offer(up.folders, std::move(frame.node));
  }

  // Keeps the top_n folders that come first in the shown order; the heap's
  // front is the one that comes last.
  void offer(std::vector<FolderNode>& heap, FolderNode&& node) {
    if (heap.size() == options_.top_n) {
      if (!shown_before(node, heap.front())) return;
      std::pop_heap(heap.begin(), heap.end(), shown_before);
      heap.back() = std::move(node);
    } else {
      heap.push_back(std::move(node));
    }
    std::push_heap(heap.begin(), heap.end(), shown_before);
  }

  // Puts a closed folder's kept subfolders in order and counts the rest.
  static void finish(FolderNode& node, const Frame& frame) {
    if (!node.shows_folders) return;
    std::sort(node.folders.begin(), node.folders.end(), shown_before);
    std::uint64_t kept_size = 0;
    for (const FolderNode& child : node.folders) kept_size += child.size;
    node.omitted_count = frame.subfolders - node.folders.size();
    node.omitted_size = frame.subfolders_size - kept_size;
  }

  void rank_extensions() {
    std::vector<ExtensionTotal> all;
    all.reserve(extensions_.size() + 1);
    if (no_extension_.file_count > 0) all.push_back(std::move(no_extension_));
    for (auto& [text, total] : extensions_) all.push_back(std::move(total));
    extensions_.clear();
    std::size_t shown = std::min(all.size(), kExtensionsShown);
    std::partial_sort(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(shown), all.end(), extension_before);
    for (std::size_t i = shown; i < all.size(); ++i) {
      ++result_.extensions_omitted_count;
      result_.extensions_omitted_size += all[i].size;
    }
    all.resize(shown);
    result_.extensions = std::move(all);
  }

  const FolderSizesOptions& options_;
  ExcludeList excludes_;
  DirectoryWalk walk_;
  FolderSizes result_;
  std::vector<Frame> frames_;
  std::uint64_t met_ = 0;
  std::unordered_set<FileIdentity, FileIdentityHash> linked_;
  std::unordered_map<std::string, ExtensionTotal> extensions_;
  ExtensionTotal no_extension_;
};

// What a text costs in a reply, as an upper bound over both copies: the
// pretty text carried escaped inside a JSON string, and the compact
// structured copy.
std::size_t text_cost(std::string_view text) {
  std::size_t cost = 6;  // the quotes
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      cost += 6;
    } else if (c == '\b' || c == '\f' || c == '\n' || c == '\r' || c == '\t') {
      cost += 5;
    } else if (c < 0x20) {
      cost += 13;
    } else {
      cost += 2;
    }
  }
  return cost;
}

std::size_t digits(std::uint64_t value) {
  std::size_t n = 1;
  while (value >= 10) {
    value /= 10;
    ++n;
  }
  return n;
}

// A folder's own members in both copies of a reply, at `level` (the root's
// subfolders are level 1), without its subfolders' own costs.
std::size_t node_cost(const FolderNode& node, std::size_t level) {
  // Every key a folder may have (markers included), each once in the text,
  // escaped (\"key\": ), and once in the structured copy ("key":).
  constexpr std::size_t kKeys = 13;
  constexpr std::size_t kKeyBytes = 118;
  const std::size_t indent = 2 * (2 * level + 1);
  // Per member: its line break (escaped) and indent, and a comma in each copy.
  std::size_t cost = 2 * kKeyBytes + kKeys * 9 + kKeys * (4 + indent) + 8 + 2 * indent;
  for (std::uint64_t n : {node.size, node.allocated_size, node.file_count, node.folder_count, node.files_size,
                          node.files_count, static_cast<std::uint64_t>(node.modified), node.omitted_count,
                          node.omitted_size}) {
    cost += 2 * digits(n);
  }
  return cost + text_cost(node.name) + text_cost(node.path) + 12 + (node.shows_folders ? 8 + indent : 0);
}

// Leaves out the folders that would take the reply past `room`, shallowest
// levels first: a level is listed whole before the next one gets anything,
// and within a level folders go in the order they are shown. A folder that
// lost some is marked truncated, and counts them among its omitted.
void keep_within(FolderNode& root, std::size_t room) {
  std::deque<std::pair<FolderNode*, std::size_t>> parents{{&root, 0}};
  bool full = false;
  while (!parents.empty()) {
    auto [parent, level] = parents.front();
    parents.pop_front();
    std::size_t keep = 0;
    for (; !full && keep < parent->folders.size(); ++keep) {
      std::size_t cost = node_cost(parent->folders[keep], level + 1);
      if (cost > room) {
        full = true;
        break;
      }
      room -= cost;
    }
    if (keep < parent->folders.size()) {
      for (std::size_t i = keep; i < parent->folders.size(); ++i) {
        ++parent->omitted_count;
        parent->omitted_size += parent->folders[i].size;
      }
      parent->folders.erase(parent->folders.begin() + static_cast<std::ptrdiff_t>(keep), parent->folders.end());
      parent->truncated = true;
    }
    for (FolderNode& child : parent->folders) {
      if (child.shows_folders) parents.emplace_back(&child, level + 1);
    }
  }
}

std::size_t fixed_cost(const FolderSizes& sizes) {
  std::size_t cost = node_cost(sizes.root, 0) + 400;  // the root's own members and the extension list's frame
  for (const ExtensionTotal& e : sizes.extensions) {
    cost += 200 + 2 * (digits(e.size) + digits(e.file_count)) + (e.extension ? text_cost(*e.extension) : 8);
  }
  return cost;
}

}  // namespace

FolderSizes scan_folder_sizes(const std::string& root, const FolderSizesOptions& options) {
  FolderSizesOptions clamped = options;
  clamped.depth = std::max<std::size_t>(clamped.depth, 1);
  clamped.top_n = std::max<std::size_t>(clamped.top_n, 1);
  ExcludeList excludes(clamped.exclude_paths);
  FolderSizes sizes;
  if (!excludes.empty() && excludes.any_prefix_of(lowered_path(root))) {
    sizes.root.path = root;
    sizes.root.shows_folders = true;
    return sizes;
  }
  sizes = FolderSizeScan(root, clamped).run();
  std::size_t fixed = fixed_cost(sizes);
  keep_within(sizes.root, clamped.reply_budget > fixed ? clamped.reply_budget - fixed : 0);
  return sizes;
}

}  // namespace corvane::dir_scan
