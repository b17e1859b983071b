#include <algorithm>

#include "modules/junk_scan/catalogue.h"
#include "modules/junk_scan/folder_table.h"
#include "platform/path.h"

namespace corvane::junk_scan {

namespace {

std::optional<std::string> row_folder(const FolderRow& row, const Environment& environment) {
  if (row.root == Root::fixed) return environment.fixed_folder(row.appended);
  auto root = root_folder(row.root, environment);
  if (!root || row.appended.empty()) return root;
  return platform::join_path(*root, row.appended);
}

bool exists(const std::string& path) { return platform::path_metadata(path).ok(); }

// The temporary folders: sorted and de-duplicated by text, then filtered.
// Two texts can still name one folder (TEMP written with 8.3 short names,
// or a link to the other): the later one is dropped too, or the folder
// would be counted twice.
std::vector<std::string> temporary_folders(const Environment& environment) {
  std::vector<std::string> candidates;
  for (const FolderRow& row : folder_rows()) {
    if (row.list != FolderList::temporary) continue;
    if (auto folder = row_folder(row, environment)) candidates.push_back(std::move(*folder));
  }
  std::vector<std::string> out;
  std::vector<std::string> identities;
  for (std::string& path : sorted_unique(std::move(candidates))) {
    if (!exists(path)) continue;
    auto canonical = platform::canonical_path(path);
    if (canonical.ok()) {
      if (std::find(identities.begin(), identities.end(), *canonical) != identities.end()) continue;
      identities.push_back(std::move(canonical).value());
    }
    out.push_back(std::move(path));
  }
  return out;
}

bool components_less(const std::vector<std::string_view>& a, const std::vector<std::string_view>& b) {
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), component_less);
}

}  // namespace

std::vector<std::string_view> path_components(std::string_view path) {
  std::vector<std::string_view> out;
  if (!path.empty() && platform::is_path_separator(path.front())) out.push_back(path.substr(0, 1));
  std::size_t start = 0;
  for (std::size_t i = 0; i <= path.size(); ++i) {
    if (i < path.size() && !platform::is_path_separator(path[i])) continue;
    if (i > start) out.push_back(path.substr(start, i - start));
    start = i + 1;
  }
  return out;
}

std::vector<std::string> sorted_unique(std::vector<std::string> paths) {
  std::vector<std::vector<std::string_view>> keys;
  std::vector<std::size_t> order(paths.size());
  for (std::size_t i = 0; i < paths.size(); ++i) {
    keys.push_back(path_components(paths[i]));
    order[i] = i;
  }
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t a, std::size_t b) { return components_less(keys[a], keys[b]); });
  std::vector<std::string> out;
  const std::vector<std::string_view>* previous = nullptr;
  for (std::size_t i : order) {
    bool equal = previous != nullptr && !components_less(*previous, keys[i]) && !components_less(keys[i], *previous);
    if (!equal) out.push_back(paths[i]);
    previous = &keys[i];
  }
  return out;
}

std::vector<std::string> base_folders(FolderList list, const Environment& environment) {
  if (list == FolderList::temporary) return temporary_folders(environment);
  std::vector<std::string> out;
  for (const FolderRow& row : folder_rows()) {
    if (row.list != list) continue;
    if (row.root == Root::temporary_list) {
      for (std::string& folder : temporary_folders(environment)) out.push_back(std::move(folder));
      continue;
    }
    auto folder = row_folder(row, environment);
    if (folder && exists(*folder)) out.push_back(std::move(*folder));
  }
  return out;
}

}  // namespace corvane::junk_scan
