#include <algorithm>

#include "modules/dir_scan/scans.h"
#include "platform/dir_walk.h"

namespace corvane::dir_scan {

using platform::DirectoryWalk;
using platform::EntryKind;

bool heap_less(const FileEntry& a, const FileEntry& b) {
  if (a.size != b.size) return a.size < b.size;
  return a.path < b.path;  // std::string compares bytes as unsigned char
}

std::vector<FileEntry> scan_top_files(const std::string& root, std::size_t top_n,
                                      const platform::TaskHooks& hooks) {
  std::vector<FileEntry> heap;
  if (top_n == 0) return heap;
  heap.reserve(top_n);
  // std::push_heap keeps the greatest element first; inverting the order
  // puts the least (the one to evict) there.
  auto evict_first = [](const FileEntry& a, const FileEntry& b) { return heap_less(b, a); };
  DirectoryWalk walk(root, platform::WalkOptions{.hooks = hooks, .walkers = platform::kEveryProcessor});
  while (walk.next()) {
    if (walk.kind() != EntryKind::file) continue;
    auto stat = walk.stat();
    if (!stat.ok() || stat->size == 0) continue;
    bool full = heap.size() == top_n;
    // Equal to the smallest kept size is not enough: earlier entries stay.
    if (full && !(heap.front().size < stat->size)) continue;
    std::string name(walk.name());
    FileEntry entry{walk.path(), name, stat->size, extension_of(name), unix_seconds(stat->last_write)};
    if (full) {
      std::pop_heap(heap.begin(), heap.end(), evict_first);
      heap.back() = std::move(entry);
    } else {
      heap.push_back(std::move(entry));
    }
    std::push_heap(heap.begin(), heap.end(), evict_first);
  }
  std::stable_sort(heap.begin(), heap.end(), [](const FileEntry& a, const FileEntry& b) { return a.size > b.size; });
  return heap;
}

}  // namespace corvane::dir_scan
