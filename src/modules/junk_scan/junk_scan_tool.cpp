#include "modules/junk_scan/junk_scan_tool.h"

namespace corvane::junk_scan {

void to_json(Json& out, const JunkItem& item) {
  out = Json{{"path", item.path}, {"size", item.size}, {"is_dir", item.is_dir}};
}

void to_json(Json& out, const JunkCategory& category) {
  Json paths = Json::array();
  for (const JunkItem& item : category.items) paths.push_back(item);
  out = Json{{"id", category.id},
             {"paths", std::move(paths)},
             {"total_size", category.total_size},
             {"item_count", category.item_count},
             {"safety", safety_text(category.safety)}};
  if (category.item_count > category.items.size()) {
    out["omitted_count"] = category.item_count - category.items.size();
    out["truncated"] = true;
  }
}

void to_json(Json& out, const JunkScanResult& result) {
  Json categories = Json::array();
  for (const JunkCategory& category : result.categories) categories.push_back(category);
  out = Json{{"categories", std::move(categories)}, {"total_size", result.total_size}};
}

Result<JunkScanResult> scan_junk_tool(const NoArguments&, ToolContext& context) {
  return scan_junk(*system_environment(), context.hooks());
}

}  // namespace corvane::junk_scan
