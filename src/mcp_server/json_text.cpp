#include "mcp_server/json_text.h"

#include <array>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <vector>

#include "platform/text.h"

namespace corvane::mcp {

namespace {

// Bytes a string cannot carry as they are: controls, '"' and '\\'.
constexpr auto kSpecialBytes = [] {
  std::array<bool, 256> special{};
  for (int c = 0; c < 256; ++c) special[c] = c < 0x20 || c == '"' || c == '\\';
  return special;
}();

void append_string(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  // Bytes that are not UTF-8 become U+FFFD, one per maximal ill-formed run.
  std::string repaired;
  if (!platform::is_valid_utf8(text)) {
    repaired = platform::lossy_utf8(text);
    text = repaired;
  }
  out += '"';
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = p + text.size();
  const auto* run = p;  // start of the bytes still to be copied as they are
  auto flush = [&](const unsigned char* to) { out.append(reinterpret_cast<const char*>(run), to - run); };
  while (p < end) {
    unsigned char c = *p;
    if (!kSpecialBytes[c]) {
      ++p;
      continue;
    }
    flush(p);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        out += "\\u00";
        out += kHex[c >> 4];
        out += kHex[c & 0xF];
    }
    run = ++p;
  }
  flush(end);
  out += '"';
}

template <typename Integer>
void append_integer(std::string& out, Integer value) {
  char buffer[24];
  out.append(buffer, std::to_chars(buffer, buffer + sizeof buffer, value).ptr);
}

// The shortest digits come from to_chars; only their layout is ours.
void append_float(std::string& out, double value) {
  if (!std::isfinite(value)) {
    out += "null";
    return;
  }
  char sci[32];  // [-]d[.ddd]e(+|-)XX
  const char* end = std::to_chars(sci, sci + sizeof sci, value, std::chars_format::scientific).ptr;
  const char* p = sci;
  if (*p == '-') out += *p++;
  char digits[20];
  int count = 0;
  for (; *p != 'e'; ++p) {
    if (*p != '.') digits[count++] = *p;
  }
  bool negative_exponent = p[1] == '-';
  int exponent = 0;
  for (p += 2; p < end; ++p) exponent = exponent * 10 + (*p - '0');
  int point = (negative_exponent ? -exponent : exponent) + 1;  // digits before the decimal point

  // ryu's bounds: plain text while it needs at most 16 digits before the
  // point or at most four zeros after it.
  if (count <= point && point <= 16) {
    out.append(digits, count);
    out.append(point - count, '0');
    out += ".0";
  } else if (0 < point && point <= 16) {
    out.append(digits, point);
    out += '.';
    out.append(digits + point, count - point);
  } else if (-5 < point && point <= 0) {
    out += "0.";
    out.append(-point, '0');
    out.append(digits, count);
  } else {
    out += digits[0];
    if (count > 1) {
      out += '.';
      out.append(digits + 1, count - 1);
    }
    out += 'e';
    append_integer(out, point - 1);
  }
}

class Writer {
 public:
  Writer(std::string& out, bool pretty) : out_(out), pretty_(pretty) {}

  // Recursion is bounded: parsed values by kMaxJsonDepth, the tools'
  // payloads by their own shallow shapes.
  void write(const Json& value, int depth) {
    switch (value.type()) {
      case Json::value_t::object: {
        const auto& members = value.get_ref<const Json::object_t&>();
        if (members.empty()) {
          out_ += "{}";
          return;
        }
        char separator = '{';
        for (const auto& [key, member] : members) {
          out_ += separator;
          separator = ',';
          line_break(depth + 1);
          append_string(out_, key);
          out_ += pretty_ ? ": " : ":";
          write(member, depth + 1);
        }
        line_break(depth);
        out_ += '}';
        return;
      }
      case Json::value_t::array: {
        const auto& elements = value.get_ref<const Json::array_t&>();
        if (elements.empty()) {
          out_ += "[]";
          return;
        }
        char separator = '[';
        for (const Json& element : elements) {
          out_ += separator;
          separator = ',';
          line_break(depth + 1);
          write(element, depth + 1);
        }
        line_break(depth);
        out_ += ']';
        return;
      }
      case Json::value_t::string: append_string(out_, value.get_ref<const std::string&>()); return;
      case Json::value_t::boolean: out_ += value.get<bool>() ? "true" : "false"; return;
      case Json::value_t::number_integer: append_integer(out_, value.get<std::int64_t>()); return;
      case Json::value_t::number_unsigned: append_integer(out_, value.get<std::uint64_t>()); return;
      case Json::value_t::number_float: append_float(out_, value.get<double>()); return;
      // Binary values come only from binary formats, which the server never reads.
      case Json::value_t::binary: out_ += value.dump(); return;
      case Json::value_t::null:
      case Json::value_t::discarded: out_ += "null"; return;
    }
  }

 private:
  void line_break(int depth) {
    if (!pretty_) return;
    out_ += '\n';
    out_.append(static_cast<std::size_t>(depth) * 2, ' ');
  }

  std::string& out_;
  bool pretty_;
};

}  // namespace

void append_compact_json(std::string& out, const Json& value) { Writer(out, false).write(value, 0); }

void append_pretty_json(std::string& out, const Json& value) { Writer(out, true).write(value, 0); }

void append_pretty_json(std::string& out, const Json& value, int depth) { Writer(out, true).write(value, depth); }

std::size_t escaped_size(std::string_view text) {
  std::string repaired;
  if (!platform::is_valid_utf8(text)) {
    repaired = platform::lossy_utf8(text);
    text = repaired;
  }
  std::size_t size = text.size();
  for (unsigned char c : text) {
    if (!kSpecialBytes[c]) continue;
    bool named = c == '"' || c == '\\' || c == '\b' || c == '\f' || c == '\n' || c == '\r' || c == '\t';
    size += named ? 1 : 5;  // a named escape takes two bytes, any other six
  }
  return size;
}

std::string to_compact_json(const Json& value) {
  std::string out;
  append_compact_json(out, value);
  return out;
}

std::string to_pretty_json(const Json& value) {
  std::string out;
  append_pretty_json(out, value);
  return out;
}

namespace {

// " at line L column C" for the fault just before byte `offset`, counted as
// nlohmann counts them: lines from 1, columns in bytes from 1.
std::string place_of(std::string_view text, std::size_t offset) {
  std::string_view read = text.substr(0, offset);
  std::size_t line = 1;
  for (char c : read) line += c == '\n' ? 1 : 0;
  std::size_t line_start = read.rfind('\n');
  std::size_t column = offset - (line_start == std::string_view::npos ? 0 : line_start + 1);
  return " at line " + std::to_string(line) + " column " + std::to_string(column);
}

// The offset just past the first bracket that opens a level beyond the
// limit, outside strings; 0 when the text stays within it.
std::size_t find_excess_nesting(std::string_view text) {
  int depth = 0;
  bool in_string = false;
  bool escaped = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (in_string) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        in_string = false;
      }
      continue;
    }
    if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      if (++depth > kMaxJsonDepth) return i + 1;
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return 0;
}

// A token as an error message may quote it: the first kExcerptBytes bytes,
// cut before a character's continuation bytes, marked by "...".
std::string excerpt(std::string_view token) {
  constexpr std::size_t kExcerptBytes = 40;
  if (token.size() <= kExcerptBytes) return std::string(token);
  std::size_t cut = kExcerptBytes;
  while (cut > 0 && (static_cast<unsigned char>(token[cut]) & 0xC0) == 0x80) --cut;
  return std::string(token.substr(0, cut)) + "...";
}

// nlohmann's text reads "[json.exception.parse_error.101] parse error at
// line 1, column 2: syntax error ... last read: '<token>'..."; keep the
// description with the token cut short, then the place.
std::string describe_parse_error(std::string_view what, const std::string& token) {
  std::string_view rest = what;
  if (auto close = rest.find("] "); close != std::string_view::npos) rest.remove_prefix(close + 2);
  std::string_view place;
  if (auto colon = rest.find(": "); colon != std::string_view::npos) {
    place = rest.substr(0, colon);
    rest.remove_prefix(colon + 2);
  }
  std::string out(rest);
  constexpr std::string_view kQuote = "; last read: '";
  if (auto at = out.find(kQuote); at != std::string::npos && out.compare(at + kQuote.size(), token.size(), token) == 0) {
    out.replace(at + kQuote.size(), token.size(), excerpt(token));
  }
  if (auto at = place.find("at line "); at != std::string_view::npos) {
    std::string where(place.substr(at));
    if (auto comma = where.find(", column"); comma != std::string::npos) where.erase(comma, 1);
    out += " " + where;
  }
  return out;
}

// Builds the value from nlohmann's parse events, as its own DOM builder
// does, but keeps what that one loses: the place of a number out of range,
// the token of a fault, and "-0" as a float. In envelope mode it keeps only
// what routes a message (see parse_json_envelope) and skips the rest, so
// that a huge request costs no value of its size.
class ValueBuilder {
 public:
  ValueBuilder(std::string_view text, bool envelope) : text_(text), envelope_(envelope) {}

  bool null() { return add(nullptr); }
  bool boolean(bool value) { return add(value); }
  // Integer literals without a sign arrive as unsigned, so the one signed
  // zero is "-0", which the protocol's peers read as the float -0.0.
  bool number_integer(std::int64_t value) { return value == 0 ? add(-0.0) : add(value); }
  bool number_unsigned(std::uint64_t value) { return add(value); }
  bool number_float(double value, const std::string&) { return add(value); }
  bool string(std::string& value) { return add(std::move(value)); }
  bool binary(Json::binary_t& value) { return add(std::move(value)); }
  bool start_object(std::size_t) { return open(Json::value_t::object); }
  bool key(std::string& name) {
    if (skipped_ > 0) return true;
    if (envelope_ && !routes(name)) {
      skip_next_ = true;
      return true;
    }
    in_params_ = envelope_ && open_.size() == 1 && name == "params";
    member_ = &open_.back()->get_ref<Json::object_t&>()[std::move(name)];
    return true;
  }
  bool end_object() { return close(); }
  bool start_array(std::size_t) { return open(Json::value_t::array); }
  bool end_array() { return close(); }

  template <typename Exception>
  bool parse_error(std::size_t offset, const std::string& token, const Exception& fault) {
    if constexpr (std::is_base_of_v<Json::parse_error, Exception>) {
      error_ = describe_parse_error(fault.what(), token);
    } else {
      // The only other fault of the text parser: a number beyond a double.
      error_ = "number out of range" + place_of(text_, offset);
    }
    return false;
  }

  Json& root() { return root_; }
  const std::string& error() const { return error_; }

 private:
  // In envelope mode: the top object's "id", "method" and "params", and an
  // object "params"'s "requestId".
  bool routes(const std::string& name) const {
    if (open_.size() == 1) return name == "id" || name == "method" || name == "params";
    return open_.size() == 2 && name == "requestId";
  }

  // Whether the value starting now is skipped: inside a skipped one, a
  // member not kept, or an element.
  bool skipping() {
    if (skipped_ > 0) return true;
    if (!skip_next_) return false;
    skip_next_ = false;
    return true;
  }

  bool open(Json::value_t type) {
    if (skipping()) {
      ++skipped_;
      return true;
    }
    Json* placed = place(type);
    // An envelope keeps the top object and "params" open; any other
    // container it keeps is left empty, which is all its type needs.
    bool kept_open = type == Json::value_t::object && (open_.empty() || (open_.size() == 1 && in_params_));
    if (envelope_ && !kept_open) {
      skipped_ = 1;
      return true;
    }
    open_.push_back(placed);
    return true;
  }

  bool close() {
    if (skipped_ > 0) {
      --skipped_;
      return true;
    }
    open_.pop_back();
    return true;
  }

  template <typename Value>
  Json* place(Value&& value) {
    if (open_.empty()) {
      root_ = Json(std::forward<Value>(value));
      return &root_;
    }
    Json* container = open_.back();
    if (container->is_array()) {
      auto& elements = container->get_ref<Json::array_t&>();
      elements.emplace_back(std::forward<Value>(value));
      return &elements.back();
    }
    *member_ = Json(std::forward<Value>(value));
    return member_;
  }

  template <typename Value>
  bool add(Value&& value) {
    if (skipping()) return true;
    place(std::forward<Value>(value));
    return true;
  }

  std::string_view text_;
  bool envelope_;
  Json root_;
  std::vector<Json*> open_;
  Json* member_ = nullptr;
  int skipped_ = 0;         // depth inside a skipped container
  bool skip_next_ = false;  // the next value belongs to a member not kept
  bool in_params_ = false;  // the member being read is the top object's "params"
  std::string error_;
};

Result<Json> parse_with(std::string_view text, bool envelope) {
  // nlohmann skips a byte order mark; it is not white space, so not JSON.
  if (text.substr(0, 3) == "\xEF\xBB\xBF") {
    return make_error("syntax error while parsing value - invalid literal; last read: '<U+FEFF>'" + place_of(text, 1));
  }
  if (std::size_t past = find_excess_nesting(text)) {
    return make_error("recursion limit exceeded" + place_of(text, past));
  }
  ValueBuilder builder(text, envelope);
  try {
    if (!Json::sax_parse(text.begin(), text.end(), &builder)) return make_error(builder.error());
  } catch (const Json::exception& e) {
    return make_error(e.what());
  }
  // nlohmann's lexer takes a NUL byte for the end of input, so the text
  // before it may have parsed; a NUL inside a string was refused above.
  if (std::size_t nul = text.find('\0'); nul != std::string_view::npos) {
    return make_error("syntax error while parsing value - invalid literal; last read: '<U+0000>'; expected end of input" +
                      place_of(text, nul + 1));
  }
  return std::move(builder.root());
}

}  // namespace

Result<Json> parse_json(std::string_view text) { return parse_with(text, false); }

Result<Json> parse_json_envelope(std::string_view text) { return parse_with(text, true); }

}  // namespace corvane::mcp
