#include "mcp_server/json_text.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>

namespace corvane::mcp {
namespace {

std::string compact(double x) { return to_compact_json(Json(x)); }

TEST(JsonWriterTest, FloatsMatchTheReferenceWriter) {
  EXPECT_EQ(compact(1.0), "1.0");
  EXPECT_EQ(compact(0.0), "0.0");
  EXPECT_EQ(compact(-0.0), "-0.0");
  EXPECT_EQ(compact(1e15), "1000000000000000.0");
  EXPECT_EQ(compact(1e16), "1e16");
  EXPECT_EQ(compact(1.5e16), "1.5e16");
  EXPECT_EQ(compact(1e23), "1e23");
  EXPECT_EQ(compact(1e-5), "0.00001");
  EXPECT_EQ(compact(1.25e-5), "0.0000125");
  EXPECT_EQ(compact(1e-6), "1e-6");
  EXPECT_EQ(compact(9.765625e-6), "9.765625e-6");
  EXPECT_EQ(compact(0.85), "0.85");
  EXPECT_EQ(compact(-123.456), "-123.456");
  EXPECT_EQ(compact(0.1 + 0.2), "0.30000000000000004");
  EXPECT_EQ(compact(18446744073709551616.0), "1.8446744073709552e19");
  EXPECT_EQ(compact(5e-324), "5e-324");
  EXPECT_EQ(compact(-1.7976931348623157e308), "-1.7976931348623157e308");
  EXPECT_EQ(compact(std::numeric_limits<double>::infinity()), "null");
  EXPECT_EQ(compact(std::nan("")), "null");
  EXPECT_EQ(to_compact_json(Json(std::int64_t{-9223372036854775807 - 1})), "-9223372036854775808");
  EXPECT_EQ(to_compact_json(Json(std::uint64_t{18446744073709551615u})), "18446744073709551615");
}

// The fewest significant digits that read back to x, found by printf.
int fewest_digits(double x) {
  char buffer[64];
  for (int digits = 1; digits < 17; ++digits) {
    std::snprintf(buffer, sizeof buffer, "%.*e", digits - 1, x);
    if (std::strtod(buffer, nullptr) == x) return digits;
  }
  return 17;
}

TEST(JsonWriterTest, RandomFloatsReadBackExactlyInTheShortestFormAndTheRightLayout) {
  std::mt19937_64 random(20240611);
  for (int i = 0; i < 200000; ++i) {
    std::uint64_t bits = random();
    double x;
    std::memcpy(&x, &bits, sizeof x);
    if (!std::isfinite(x) || x == 0) continue;
    std::string text = compact(x);
    ASSERT_EQ(std::strtod(text.c_str(), nullptr), x) << text;

    std::size_t e = text.find('e');
    double magnitude = std::fabs(x);
    ASSERT_EQ(e == std::string::npos, magnitude >= 1e-5 && magnitude < 1e16) << text;
    std::string mantissa = text.substr(0, e);
    if (e == std::string::npos) {
      ASSERT_NE(mantissa.find('.'), std::string::npos) << text;
    } else {
      std::string exponent = text.substr(e + 1);
      ASSERT_TRUE(exponent[0] != '+' && exponent[0] != '0' && exponent.rfind("-0", 0) != 0) << text;
      // One digit stands alone; more carry a point after the first.
      ASSERT_TRUE(mantissa.find('.') == std::string::npos ? mantissa.size() <= 2 : mantissa.find('.') <= 2) << text;
    }
    std::string digits;
    for (char c : mantissa) {
      if (c >= '0' && c <= '9' && !(digits.empty() && c == '0')) digits += c;
    }
    if (e == std::string::npos) {
      while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
    }
    ASSERT_LE(static_cast<int>(digits.size()), fewest_digits(x)) << text;
  }
}

// Everything but floats is written as nlohmann writes it, which serves as
// the model here: random strings of any bytes, nesting, empty containers.
Json random_value(std::mt19937& random, int depth) {
  auto pick = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
  auto text = [&] {
    static const char kAlphabet[] = "ab\"\\/\b\f\n\r\t\x01\x1f\x7f \xC3\xA9\xE2\x80\x94\xF0\x9F\x98\x80\xED\xA0\x80\xC0\xFF\xF4\x90";
    std::string s;
    for (int n = pick(12); n > 0; --n) s += kAlphabet[pick(sizeof kAlphabet - 1)];
    return s;
  };
  switch (depth > 3 ? pick(4) : pick(7)) {
    case 0: return nullptr;
    case 1: return pick(2) == 1;
    case 2: return static_cast<std::int64_t>(random()) - (1LL << 31);
    case 3: return text();
    case 4: {
      Json array = Json::array();
      for (int n = pick(4); n > 0; --n) array.push_back(random_value(random, depth + 1));
      return array;
    }
    default: {
      Json object = Json::object();
      for (int n = pick(4); n > 0; --n) object[text()] = random_value(random, depth + 1);
      return object;
    }
  }
}

TEST(JsonWriterTest, StringsAndLayoutMatchTheLibraryWriter) {
  std::mt19937 random(7);
  for (int i = 0; i < 20000; ++i) {
    Json value = random_value(random, 0);
    ASSERT_EQ(to_compact_json(value), value.dump(-1, ' ', false, Json::error_handler_t::replace)) << i;
    ASSERT_EQ(to_pretty_json(value), value.dump(2, ' ', false, Json::error_handler_t::replace)) << i;
  }
  EXPECT_EQ(to_compact_json("\x01\x7f\xF0\x80\xE2\x80"), "\"\\u0001\x7f\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\"");
  EXPECT_EQ(to_pretty_json(Json{{"b", {1.0, Json::object()}}, {"a", Json::array()}}),
            "{\n  \"a\": [],\n  \"b\": [\n    1.0,\n    {}\n  ]\n}");
  std::string line = "x";
  append_compact_json(line, Json{{"k", 0.5}});
  EXPECT_EQ(line, "x{\"k\":0.5}");
}

// The envelope of a message as the whole value shows it: the routing
// members kept, every other container emptied.
Json envelope_of(const Json& value) {
  auto emptied = [](const Json& v) { return v.is_structured() ? Json(v.type()) : v; };
  if (!value.is_object()) return emptied(value);
  Json out = Json::object();
  for (const char* key : {"id", "method"}) {
    if (value.contains(key)) out[key] = emptied(value[key]);
  }
  if (value.contains("params")) {
    const Json& params = value["params"];
    out["params"] = emptied(params);
    if (params.is_object() && params.contains("requestId")) out["params"]["requestId"] = emptied(params["requestId"]);
  }
  return out;
}

TEST(JsonParserTest, AnEnvelopeIsTheWholeValueCutToItsRoutingMembersWithTheSameFaults) {
  std::mt19937 random(11);
  auto pick = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
  const char* kKeys[] = {"id", "method", "params", "requestId", "jsonrpc", "x"};
  for (int i = 0; i < 20000; ++i) {
    Json message = pick(8) == 0 ? random_value(random, 0) : Json::object();
    if (message.is_object()) {
      for (int n = pick(5); n > 0; --n) message[kKeys[pick(6)]] = random_value(random, 2);
      if (pick(2) == 0) {
        Json params = Json::object();
        for (int n = pick(4); n > 0; --n) params[kKeys[pick(6)]] = random_value(random, 2);
        message["params"] = params;
      }
    }
    std::string text = to_compact_json(message);
    // A duplicate member: the last one counts in both.
    if (message.is_object() && pick(3) == 0) text.insert(1, "\"params\":{\"requestId\":[1]},\"id\":7,");
    if (pick(4) == 0) text.resize(static_cast<std::size_t>(pick(static_cast<int>(text.size()) + 1)));
    Result<Json> whole = parse_json(text);
    Result<Json> envelope = parse_json_envelope(text);
    ASSERT_EQ(whole.ok(), envelope.ok()) << text;
    if (whole.ok()) {
      ASSERT_EQ(envelope.value(), envelope_of(whole.value())) << text;
    } else {
      ASSERT_EQ(envelope.error(), whole.error()) << text;
    }
  }
}

}  // namespace
}  // namespace corvane::mcp
