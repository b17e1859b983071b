#include "modules/dir_scan/folder_sizes.h"
#include "modules/tool_arguments.h"

namespace corvane::dir_scan {

namespace {

// The members every folder has, the root included.
Json folder_members(const FolderNode& node) {
  Json out{{"path", node.path},
           {"size", node.size},
           {"allocated_size", node.allocated_size},
           {"file_count", node.file_count},
           {"folder_count", node.folder_count},
           {"files_size", node.files_size},
           {"files_count", node.files_count}};
  if (node.shows_folders) out["folders"] = node.folders;
  if (node.omitted_count > 0) {
    out["omitted_count"] = node.omitted_count;
    out["omitted_size"] = node.omitted_size;
  }
  if (node.truncated) out["truncated"] = true;
  return out;
}

}  // namespace

void to_json(Json& out, const FolderNode& node) {
  out = folder_members(node);
  out["name"] = node.name;
  out["modified"] = node.modified;
}

void to_json(Json& out, const FolderSizes& sizes) {
  out = folder_members(sizes.root);
  out["unreadable_count"] = sizes.unreadable_count;
  Json extensions = Json::array();
  for (const ExtensionTotal& e : sizes.extensions) {
    extensions.push_back(Json{{"extension", e.extension ? Json(*e.extension) : Json(nullptr)},
                              {"size", e.size},
                              {"file_count", e.file_count}});
  }
  Json by_extension{{"extensions", std::move(extensions)}};
  if (sizes.extensions_omitted_count > 0) {
    by_extension["omitted_count"] = sizes.extensions_omitted_count;
    by_extension["omitted_size"] = sizes.extensions_omitted_size;
  }
  out["by_extension"] = std::move(by_extension);
}

Status read_arguments(const Json& arguments, FolderSizesRequest& request) {
  Result<std::string> path = required_string(arguments, "path");
  if (!path.ok()) return path.failure();
  request.path = std::move(path).value();
  request.depth = static_cast<std::size_t>(clamped_count(arguments, "depth", 8, 2));
  request.top_n = static_cast<std::size_t>(clamped_count(arguments, "top_n", 100, 10));
  request.exclude_paths = optional_string_list(arguments, "exclude_paths");
  return ok_status();
}

Result<FolderSizes> folder_sizes_tool(const FolderSizesRequest& request, ToolContext& context) {
  FolderSizesOptions options{.depth = request.depth, .top_n = request.top_n, .exclude_paths = request.exclude_paths};
  options.hooks = context.hooks();
  return scan_folder_sizes(request.path, options);
}

}  // namespace corvane::dir_scan
