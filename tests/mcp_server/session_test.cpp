// The protocol version a client gets, and what the session's version
// changes in later replies.
#include "mcp_server/session.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <tuple>

#include "mcp_server/json_text.h"
#include "mcp_server/message_loop.h"
#include "mcp_server/methods.h"
#include "mcp_server/tool_registry.h"

namespace corvane::mcp {
namespace {

std::string answered(const std::string& params) { return std::string(version_text(negotiate_version(Json::parse(params)))); }

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
  for (const auto& [params, version] : cases) EXPECT_EQ(answered(params), version) << params;

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
    EXPECT_EQ(answered(Json{{"protocolVersion", text}}.dump()), expected) << text;
  }
}

class SessionTest : public ::testing::Test {
 protected:
  Json ask(const std::string& line) {
    Request request = std::get<Request>(read_message(line));
    return handle_request(session_, request.id, request.method, request.message);
  }
  Json initialize(const char* version) {
    return ask(std::string(R"({"id":1,"method":"initialize","params":{"protocolVersion":")") + version + "\"}}");
  }
  Session session_;
};

TEST_F(SessionTest, EachInitializeSetsWhatTheRepliesAfterItCarry) {
  const std::string old_catalogue = to_compact_json(ask(R"({"id":2,"method":"tools/list"})"));
  const std::string app = R"({"id":3,"method":"tools/call","params":{"name":"get_corvane_app"}})";
  const std::string old_app = to_compact_json(ask(app));
  EXPECT_EQ(old_catalogue, to_compact_json(result_reply(2, Json{{"tools", tool_catalogue()}})));

  EXPECT_EQ(initialize("2025-11-25")["result"]["protocolVersion"], "2025-11-25");
  Json tools = ask(R"({"id":2,"method":"tools/list"})")["result"]["tools"];
  const char* titles[] = {"List disks",   "Disk health",   "Junk scan",   "Largest files",
                          "Empty files",  "Empty folders", "Find copies", "Corvane desktop app"};
  ASSERT_EQ(tools.size(), std::size(titles));
  const Json hints = Json::parse(
      R"({"readOnlyHint":true,"destructiveHint":false,"idempotentHint":true,"openWorldHint":false})");
  for (std::size_t i = 0; i < tools.size(); ++i) {
    EXPECT_EQ(tools[i]["title"], titles[i]);
    EXPECT_EQ(tools[i]["annotations"], hints);
    EXPECT_EQ(tools[i]["outputSchema"]["type"], "object");
    EXPECT_EQ(tools[i].size(), 6u);
  }
  Json modern_app = ask(app)["result"];
  EXPECT_EQ(modern_app["structuredContent"], parse_json(modern_app["content"][0]["text"].get<std::string>()).value());
  Json failed = ask(R"({"id":4,"method":"tools/call","params":{"name":"scan_top_files"}})")["result"];
  EXPECT_TRUE(failed["isError"]);
  EXPECT_FALSE(failed.contains("structuredContent"));

  // Back to the old bytes, with an old version or with none that is a date.
  for (const char* version : {"2024-11-05", "2025-03-26", "latest"}) {
    EXPECT_EQ(initialize(version)["result"]["protocolVersion"], "2024-11-05");
    EXPECT_EQ(to_compact_json(ask(R"({"id":2,"method":"tools/list"})")), old_catalogue);
    EXPECT_EQ(to_compact_json(ask(app)), old_app);
  }
  EXPECT_EQ(initialize("2025-06-18")["result"]["protocolVersion"], "2025-06-18");
  EXPECT_EQ(ask(R"({"id":2,"method":"tools/list"})")["result"]["tools"], tools);
}

}  // namespace
}  // namespace corvane::mcp
