#include "mcp_server/payload_cut.h"

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <optional>
#include <vector>

#include "mcp_server/json_text.h"
#include "mcp_server/wording.h"

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

// `lift`: how many levels higher the list sits in the text than in the
// structured copy. With `structured`, a record also costs its compact text
// there, and its separating comma.
void measure(RecordList& list, int lift, bool structured) {
  std::string indent(static_cast<std::size_t>(list.depth - lift) * 2, ' ');
  list.frame = escaped_size("\n" + indent);
  std::string piece;
  for (std::size_t i = 0; i < list.records.size(); ++i) {
    piece.assign(i == 0 ? "\n" : ",\n");
    piece += indent;
    piece += "  ";
    append_pretty_json(piece, list.records[i], list.depth - lift + 1);
    std::size_t cost = escaped_size(piece);
    if (structured) {
      piece.clear();
      append_compact_json(piece, list.records[i]);
      cost += piece.size() + (i == 0 ? 0 : 1);
    }
    list.costs.push_back(cost);
  }
}

// A holding object's markers as the tool left them, to restore when none of
// its lists is cut after all.
struct Holder {
  Json* object;
  std::optional<Json> omitted_count;
  std::optional<Json> truncated;
  std::uint64_t records = 0;  // in its lists, before the cut
  std::size_t cut = 0;

  // The records the tool had already left out.
  std::uint64_t before() const {
    return omitted_count && omitted_count->is_number_integer() ? omitted_count->get<std::uint64_t>() : 0;
  }
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

// The pretty text, or the compact one should the pretty one fail.
std::string payload_text(const Json& payload) {
  try {
    return to_pretty_json(payload);
  } catch (const std::exception&) {
    return to_compact_json(payload);
  }
}

// The cut note on a line of its own.
std::string cut_line(std::uint64_t listed, std::uint64_t found, std::string_view noun) {
  std::string line(1, '\n');
  line += cut_note(listed, found, noun);
  return line;
}

std::string key_of(const ResultForm& form) { return form.list_key.empty() ? "records" : std::string(form.list_key); }

}  // namespace

PayloadCopies payload_copies(const Json& payload, const ResultForm& form) {
  PayloadCopies copies{payload_text(payload), std::nullopt};
  copies.text += form.footer;
  if (form.structured) copies.structured = payload.is_array() ? Json{{key_of(form), payload}} : payload;
  return copies;
}

PayloadCopies fitted_copies(Json payload, const ResultForm& form, std::size_t room) {
  // An array payload is cut inside the object of its structured copy, so
  // that the cut is marked there; its text shows the array alone.
  const bool wrapped = payload.is_array();
  const std::string key = key_of(form);
  Json doc = wrapped ? Json{{key, std::move(payload)}} : std::move(payload);
  const int lift = wrapped ? 1 : 0;
  auto text_view = [&]() -> const Json& { return wrapped ? doc[key] : doc; };

  std::vector<RecordList> lists = find_record_lists(doc);
  std::vector<Holder> holders;
  for (RecordList& list : lists) {
    list.records = std::move(list.list->get_ref<Json::array_t&>());
    *list.list = Json::array();
    measure(list, lift, form.structured);
    if (list.holder == nullptr) continue;
    auto known = std::find_if(holders.begin(), holders.end(), [&](const Holder& h) { return h.object == list.holder; });
    if (known == holders.end()) {
      holders.push_back(
          Holder{list.holder, member_of(*list.holder, "omitted_count"), member_of(*list.holder, "truncated")});
      known = std::prev(holders.end());
    }
    known->records += list.records.size();
  }
  // The markers are measured at their widest, with every record omitted,
  // whether or not they stay.
  const Holder* wrapper = nullptr;
  for (Holder& h : holders) {
    (*h.object)["omitted_count"] = h.before() + h.records;
    (*h.object)["truncated"] = true;
    if (wrapped && h.object == &doc) wrapper = &h;
  }

  std::string text;
  append_pretty_json(text, text_view());
  std::size_t fixed = escaped_size(text) + escaped_size(form.footer);
  text.clear();
  if (wrapper) fixed += escaped_size(cut_line(wrapper->records, wrapper->records, key));
  if (form.structured) {
    append_compact_json(text, doc);
    fixed += text.size();
    text.clear();
  }
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
    (*h.object)["omitted_count"] = h.before() + h.cut;
    (*h.object)["truncated"] = true;
  }

  PayloadCopies copies;
  append_pretty_json(copies.text, text_view());
  copies.text += form.footer;
  if (wrapper && doc.contains("truncated")) {
    std::uint64_t listed = doc[key].size();
    copies.text += cut_line(listed, listed + doc["omitted_count"].get<std::uint64_t>(), key);
  }
  if (form.structured) copies.structured = std::move(doc);
  return copies;
}

}  // namespace corvane::mcp
