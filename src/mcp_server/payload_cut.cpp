#include "mcp_server/payload_cut.h"

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <optional>
#include <vector>

#include "mcp_server/json_text.h"

namespace corvane::mcp {

namespace {

bool is_record_list(const Json& value) {
  if (!value.is_array() || value.empty()) return false;
  return std::all_of(value.begin(), value.end(), [](const Json& element) {
    return element.is_object() &&
           std::none_of(element.begin(), element.end(), [](const Json& member) { return member.is_structured(); });
  });
}

struct RecordList {
  Json* list;
  Json* holder;  // the object whose member the list is; null otherwise
  int depth;     // the list's own depth in the pretty text
  std::vector<Json> records;
  // Escaped bytes each record adds: its separator, line break, indent and
  // text. The first one also opens the list's closing line.
  std::vector<std::size_t> costs;
  std::size_t frame = 0;
  std::size_t kept = 0;

  // Lists the next records while they fit in `room`, taking their cost.
  void extend(std::size_t& room) {
    while (kept < costs.size()) {
      std::size_t step = costs[kept] + (kept == 0 ? frame : 0);
      if (step > room) return;
      room -= step;
      ++kept;
    }
  }
};

// The record lists, in the order of their text.
std::vector<RecordList> find_record_lists(Json& payload) {
  struct Visit {
    Json* value;
    Json* holder;
    int depth;
  };
  std::vector<RecordList> lists;
  std::vector<Visit> stack{{&payload, nullptr, 0}};
  while (!stack.empty()) {
    Visit visit = stack.back();
    stack.pop_back();
    if (is_record_list(*visit.value)) {
      lists.push_back(RecordList{visit.value, visit.holder, visit.depth, {}, {}});
      continue;
    }
    if (!visit.value->is_structured()) continue;
    Json* holder = visit.value->is_object() ? visit.value : nullptr;
    std::size_t first = stack.size();
    for (Json& member : *visit.value) stack.push_back(Visit{&member, holder, visit.depth + 1});
    std::reverse(stack.begin() + static_cast<std::ptrdiff_t>(first), stack.end());
  }
  return lists;
}

void measure(RecordList& list) {
  std::string indent(static_cast<std::size_t>(list.depth) * 2, ' ');
  list.frame = escaped_size("\n" + indent);
  std::string piece;
  for (std::size_t i = 0; i < list.records.size(); ++i) {
    piece.assign(i == 0 ? "\n" : ",\n");
    piece += indent;
    piece += "  ";
    append_pretty_json(piece, list.records[i], list.depth + 1);
    list.costs.push_back(escaped_size(piece));
  }
}

// A holding object's markers as the tool left them, to restore when none of
// its lists is cut after all.
struct Holder {
  Json* object;
  std::optional<Json> omitted_count;
  std::optional<Json> truncated;
  std::size_t cut = 0;
};

std::optional<Json> member_of(const Json& object, const char* key) {
  auto it = object.find(key);
  return it == object.end() ? std::nullopt : std::optional<Json>(*it);
}

void restore(Json& object, const char* key, const std::optional<Json>& value) {
  if (value) {
    object[key] = *value;
  } else {
    object.erase(key);
  }
}

}  // namespace

std::string fitted_text(Json payload, std::string_view footer, std::size_t room) {
  std::vector<RecordList> lists = find_record_lists(payload);
  std::vector<Holder> holders;
  for (RecordList& list : lists) {
    list.records = std::move(list.list->get_ref<Json::array_t&>());
    *list.list = Json::array();
    measure(list);
    if (list.holder == nullptr) continue;
    auto known = std::find_if(holders.begin(), holders.end(), [&](const Holder& h) { return h.object == list.holder; });
    if (known != holders.end()) continue;
    holders.push_back(
        Holder{list.holder, member_of(*list.holder, "omitted_count"), member_of(*list.holder, "truncated")});
    // The markers are measured at their widest, whether or not they stay.
    (*list.holder)["omitted_count"] = static_cast<std::uint64_t>(-1);
    (*list.holder)["truncated"] = true;
  }

  std::string text;
  append_pretty_json(text, payload);
  std::size_t fixed = escaped_size(text) + escaped_size(footer);
  std::size_t left = room > fixed ? room - fixed : 0;
  if (!lists.empty()) {
    std::size_t share = left / lists.size();
    for (RecordList& list : lists) {
      std::size_t own = share;
      list.extend(own);
      left -= share - own;
    }
    for (RecordList& list : lists) list.extend(left);
  }

  for (RecordList& list : lists) {
    auto& kept = list.list->get_ref<Json::array_t&>();
    kept.assign(std::make_move_iterator(list.records.begin()),
                std::make_move_iterator(list.records.begin() + static_cast<std::ptrdiff_t>(list.kept)));
    for (Holder& h : holders) {
      if (h.object == list.holder) h.cut += list.records.size() - list.kept;
    }
  }
  for (Holder& h : holders) {
    if (h.cut == 0) {
      restore(*h.object, "omitted_count", h.omitted_count);
      restore(*h.object, "truncated", h.truncated);
      continue;
    }
    std::uint64_t before =
        h.omitted_count && h.omitted_count->is_number_integer() ? h.omitted_count->get<std::uint64_t>() : 0;
    (*h.object)["omitted_count"] = before + h.cut;
    (*h.object)["truncated"] = true;
  }

  text.clear();
  append_pretty_json(text, payload);
  text += footer;
  return text;
}

}  // namespace corvane::mcp
