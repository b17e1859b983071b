#include "mcp_server/dispatch.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "mcp_server/arguments.h"
#include "mcp_server/json_text.h"
#include "mcp_server/message_loop.h"

namespace corvane::mcp {
namespace {

Json call(const std::string& params_json) {
  Json message = Json::parse(R"({"jsonrpc":"2.0","id":3,"method":"tools/call","params":)" + params_json + "}");
  return handle_tool_call(message["id"], message);
}

std::string text_of(const Json& reply) { return reply["result"]["content"][0]["text"]; }
bool is_error(const Json& reply) { return reply["result"]["isError"]; }

TEST(ArgumentReadersTest, ReadersTakeTheirTypeAndTreatEverythingElseAsAbsent) {
  Json args = Json::parse(R"({"path":"","n":3,"flag":false,"text":"true","list":["a",1,null,"b",["c"]],"one":"x"})");
  EXPECT_EQ(required_string(args, "path").value(), "");
  EXPECT_EQ(required_string(args, "n").error(), "missing required string argument: n");
  EXPECT_EQ(required_string(args, "nope").error(), "missing required string argument: nope");
  EXPECT_EQ(required_string(Json::array({"path"}), "path").error(), "missing required string argument: path");

  EXPECT_FALSE(optional_bool(args, "flag", true));
  EXPECT_TRUE(optional_bool(args, "text", true));
  EXPECT_FALSE(optional_bool(args, "absent", false));
  EXPECT_TRUE(optional_bool(Json("flag"), "flag", true));

  EXPECT_EQ(optional_string_list(args, "list"), (std::vector<std::string>{"a", "b"}));
  EXPECT_TRUE(optional_string_list(args, "one").empty());
  EXPECT_TRUE(optional_string_list(Json(nullptr), "list").empty());
}

TEST(ArgumentReadersTest, TopNClampsIntegerLiteralsAndDefaultsEverythingElse) {
  auto top_n = [](const char* value) { return top_n_argument(parse_json(std::string(R"({"top_n":)") + value + "}").value()); };
  EXPECT_EQ(top_n("0"), 1);
  EXPECT_EQ(top_n("1"), 1);
  EXPECT_EQ(top_n("5"), 5);
  EXPECT_EQ(top_n("200"), 200);
  EXPECT_EQ(top_n("1000"), 200);
  EXPECT_EQ(top_n("18446744073709551615"), 200);
  EXPECT_EQ(top_n("-5"), 20);
  EXPECT_EQ(top_n("-0"), 20);  // a float to the protocol's peers
  EXPECT_EQ(top_n("2.5"), 20);
  EXPECT_EQ(top_n("10.0"), 20);
  EXPECT_EQ(top_n("1e1"), 20);
  EXPECT_EQ(top_n("\"5\""), 20);
  EXPECT_EQ(top_n("true"), 20);
  EXPECT_EQ(top_n("null"), 20);
  EXPECT_EQ(top_n_argument(Json::object()), 20);
  EXPECT_EQ(top_n_argument(Json::array()), 20);
}

TEST(ToolCallTest, UnknownAndNamelessToolsAreErrorResultsNotRpcErrors) {
  Json reply = call(R"({"name":"format_disk","arguments":{}})");
  EXPECT_FALSE(reply.contains("error"));
  EXPECT_TRUE(is_error(reply));
  EXPECT_EQ(text_of(reply), "Error: Unknown tool: format_disk");
  EXPECT_EQ(text_of(call(R"({"arguments":{}})")), "Error: Unknown tool: ");
  EXPECT_EQ(text_of(call(R"("not an object")")), "Error: Unknown tool: ");
  EXPECT_EQ(text_of(call(R"({"name":"GET_CORVANE_APP"})")), "Error: Unknown tool: GET_CORVANE_APP");
  Json message = Json::parse(R"({"id":"x","method":"tools/call"})");
  EXPECT_EQ(text_of(handle_tool_call(message["id"], message)), "Error: Unknown tool: ");
  EXPECT_EQ(to_compact_json(reply),
            R"({"id":3,"jsonrpc":"2.0","result":{"content":[{"text":"Error: Unknown tool: format_disk","type":"text"}],"isError":true}})");
}

TEST(ToolCallTest, CompanionAppIsPrettyJsonWithoutFooterWhateverTheArguments) {
  for (const char* params : {R"({"name":"get_corvane_app"})", R"({"name":"get_corvane_app","arguments":[1]})",
                             R"({"name":"get_corvane_app","arguments":{"x":1}})"}) {
    Json reply = call(params);
    EXPECT_FALSE(is_error(reply));
    std::string text = text_of(reply);
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '}');
    Json payload = Json::parse(text);
    EXPECT_EQ(to_pretty_json(payload), text);
    EXPECT_EQ(payload.size(), 8u);
    EXPECT_EQ(payload["name"], "Corvane");
    EXPECT_EQ(payload["download"], "https://corvane.app/download");
    EXPECT_EQ(payload["homepage"], "https://corvane.app");
    EXPECT_EQ(payload["platforms"],
              Json::array({"Windows 10/11 (x64)", "macOS (Apple Silicon & Intel)", "Linux (AppImage / deb)"}));
    ASSERT_EQ(payload["key_features"].size(), 6u);
    for (const Json& feature : payload["key_features"]) {
      EXPECT_NE(feature.get<std::string>().find(" \xE2\x80\x94 "), std::string::npos) << feature;
    }
    EXPECT_EQ(text.rfind("{\n  \"download\": \"https://corvane.app/download\",\n  \"homepage\"", 0), 0u);
  }
}

ToolPlan plan_payload(const Json& arguments) {
  return ToolJob([arguments] { return ToolOutcome(Json{{"echo", arguments}, {"empty", Json::array()}}); });
}
ToolPlan plan_failing_job(const Json&) {
  return ToolJob([]() -> ToolOutcome { throw std::runtime_error("walk exploded"); });
}
ToolPlan plan_failing_plan(const Json&) { throw std::logic_error("bad plan"); }
ToolPlan plan_tool_error(const Json&) { return ToolJob([] { return ToolOutcome(make_error("PATH_NOT_FOUND: /x")); }); }

TEST(ToolCallTest, JobsRunOnThePoolAndTheirOutcomesGetTheEnvelope) {
  Json ok = call_tool({"t", plan_payload, true}, 9, Json{{"a", 1}});
  EXPECT_FALSE(is_error(ok));
  EXPECT_EQ(text_of(ok), "{\n  \"echo\": {\n    \"a\": 1\n  },\n  \"empty\": []\n}" + result_footer());
  EXPECT_EQ(result_footer(),
            "\n\n---\nThis is a read-only scan from the Corvane MCP server. To act on these results (safely "
            "delete, move to Recycle Bin, organize, or schedule cleanups) install the free Corvane desktop "
            "app: https://corvane.app/download");

  Json failed = call_tool({"t", plan_failing_job, true}, 9, Json::object());
  EXPECT_TRUE(is_error(failed));
  EXPECT_EQ(text_of(failed).rfind("Error: TASK_ERROR: ", 0), 0u);
  EXPECT_NE(text_of(failed).find("walk exploded"), std::string::npos);

  EXPECT_EQ(text_of(call_tool({"t", plan_failing_plan, true}, 9, Json::object())).rfind("Error: TASK_ERROR: ", 0), 0u);
  Json tool_error = call_tool({"t", plan_tool_error, true}, 9, Json::object());
  EXPECT_EQ(text_of(tool_error), "Error: PATH_NOT_FOUND: /x");
  EXPECT_TRUE(is_error(tool_error));
}

TEST(ToolCallTest, PayloadsWithNonFiniteNumbersAndBadBytesStillSerialise) {
  ToolOutcome outcome(Json{{"ratio", std::numeric_limits<double>::quiet_NaN()}, {"name", std::string("bad\xFF")}});
  Json reply = tool_result_reply(1, outcome, false);
  EXPECT_EQ(text_of(reply), "{\n  \"name\": \"bad\xEF\xBF\xBD\",\n  \"ratio\": null\n}");
  // Floats in payloads are written as in replies.
  Json ratios = tool_result_reply(1, ToolOutcome(Json{{"usage_ratio", 9.765625e-6}, {"whole", 1.0}}), false);
  EXPECT_EQ(text_of(ratios), "{\n  \"usage_ratio\": 9.765625e-6,\n  \"whole\": 1.0\n}");
  EXPECT_NO_THROW(to_compact_json(reply));
}

}  // namespace
}  // namespace corvane::mcp
