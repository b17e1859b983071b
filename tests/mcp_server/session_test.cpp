// The protocol version a client gets: a table of dates and non-dates, and
// random dates against the rule written over (year, month, day). What the
// version changes in later replies is checked over the wire (e2e).
#include "mcp_server/session.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <tuple>

namespace corvane::mcp {
namespace {

std::string answered(const Json& params) { return std::string(version_text(negotiate_version(params))); }

TEST(VersionNegotiationTest, TheAskedVersionWhenSpokenElseTheNewestNotNewerElseTheOldest) {
  const std::pair<const char*, const char*> cases[] = {
      // Spoken, and the dates around them.
      {R"({"protocolVersion":"2024-11-05"})", "2024-11-05"}, {R"({"protocolVersion":"2025-06-18"})", "2025-06-18"},
      {R"({"protocolVersion":"2025-11-25"})", "2025-11-25"}, {R"({"protocolVersion":"2024-10-07"})", "2024-11-05"},
      {R"({"protocolVersion":"1999-01-01"})", "2024-11-05"}, {R"({"protocolVersion":"2024-11-06"})", "2024-11-05"},
      {R"({"protocolVersion":"2025-03-26"})", "2024-11-05"}, {R"({"protocolVersion":"2025-06-17"})", "2024-11-05"},
      {R"({"protocolVersion":"2025-06-19"})", "2025-06-18"}, {R"({"protocolVersion":"2025-11-24"})", "2025-06-18"},
      {R"({"protocolVersion":"2025-11-26"})", "2025-11-25"}, {R"({"protocolVersion":"2026-07-28"})", "2025-11-25"},
      {R"({"protocolVersion":"9999-12-31"})", "2025-11-25"},
      // Not dates.
      {R"({"protocolVersion":"2025-13-01"})", "2024-11-05"}, {R"({"protocolVersion":"2025-11-32"})", "2024-11-05"},
      {R"({"protocolVersion":"2025-00-10"})", "2024-11-05"}, {R"({"protocolVersion":"2025-11-00"})", "2024-11-05"},
      {R"({"protocolVersion":"2025-11-25 "})", "2024-11-05"}, {R"({"protocolVersion":" 2025-11-25"})", "2024-11-05"},
      {R"({"protocolVersion":"2025-11-5"})", "2024-11-05"}, {R"({"protocolVersion":"2025/11/25"})", "2024-11-05"},
      {R"({"protocolVersion":"20251125"})", "2024-11-05"}, {R"({"protocolVersion":"2025-11-25T00:00:00Z"})", "2024-11-05"},
      {R"({"protocolVersion":"DRAFT-2026-v1"})", "2024-11-05"}, {R"({"protocolVersion":""})", "2024-11-05"},
      {R"({"protocolVersion":"2025-1a-25"})", "2024-11-05"},
      // Not strings, absent, params no object.
      {R"({"protocolVersion":20251125})", "2024-11-05"}, {R"({"protocolVersion":null})", "2024-11-05"},
      {R"({"protocolVersion":["2025-11-25"]})", "2024-11-05"}, {R"({"protocolVersion":{"v":"2025-11-25"}})", "2024-11-05"},
      {R"({})", "2024-11-05"}, {R"({"protocolversion":"2025-11-25"})", "2024-11-05"},
      {R"(["2025-11-25"])", "2024-11-05"}, {R"("2025-11-25")", "2024-11-05"}, {"null", "2024-11-05"},
  };
  for (const auto& [params, version] : cases) EXPECT_EQ(answered(Json::parse(params)), version) << params;

  // Random dates against the rule written over (year, month, day).
  std::mt19937 random(23);
  auto pick = [&](int low, int high) { return std::uniform_int_distribution<int>(low, high)(random); };
  const std::tuple<int, int, int> spoken[] = {{2024, 11, 5}, {2025, 6, 18}, {2025, 11, 25}};
  for (int round = 0; round < 2000; ++round) {
    std::tuple<int, int, int> date{pick(2023, 2027), pick(1, 12), pick(1, 31)};
    const char* expected = "2024-11-05";
    if (date >= spoken[1]) expected = "2025-06-18";
    if (date >= spoken[2]) expected = "2025-11-25";
    char text[16];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d", std::get<0>(date), std::get<1>(date), std::get<2>(date));
    EXPECT_EQ(answered(Json{{"protocolVersion", text}}), expected) << text;
  }
}

}  // namespace
}  // namespace corvane::mcp
