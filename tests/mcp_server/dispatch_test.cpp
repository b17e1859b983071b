#include "mcp_server/dispatch.h"

#include <gtest/gtest.h>

#include <set>
#include <stdexcept>
#include <string>
#include <thread>

#include "mcp_server/json_text.h"
#include "mcp_server/message_loop.h"
#include "modules/tool_arguments.h"
#include "platform/scratch_dir.h"

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

  EXPECT_EQ(optional_string(args, "path"), "");
  EXPECT_EQ(optional_string(args, "one"), "x");
  EXPECT_FALSE(optional_string(args, "n"));
  EXPECT_FALSE(optional_string(Json::array({"one"}), "one"));

  Json numbers = Json::parse(R"({"int":1,"neg":-3,"float":0.5,"big":1e300,"text":"0.9","flag":true,"null":null})");
  EXPECT_EQ(optional_number(numbers, "int"), 1.0);
  EXPECT_EQ(optional_number(numbers, "neg"), -3.0);
  EXPECT_EQ(optional_number(numbers, "float"), 0.5);
  EXPECT_EQ(optional_number(numbers, "big"), 1e300);
  for (const char* other : {"text", "flag", "null", "absent"}) EXPECT_FALSE(optional_number(numbers, other)) << other;
  EXPECT_FALSE(optional_number(Json(2.0), "int"));
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

// Fake tools for the binding machinery. A request that keeps its arguments
// and a path, and notes on which thread each step ran.
struct FakeRequest {
  Json arguments;
  std::string path;
};

std::thread::id g_read_on;
std::thread::id g_handled_on;
int g_handled = 0;

Status read_arguments(const Json& arguments, FakeRequest& request) {
  g_read_on = std::this_thread::get_id();
  if (arguments.contains("unreadable")) return make_error("missing required string argument: unreadable");
  if (arguments.contains("throw_in_read")) throw std::logic_error("bad read");
  request.arguments = arguments;
  request.path = arguments.value("path", std::string());
  return ok_status();
}

Result<Json> echo(const FakeRequest& request, ToolContext& context) {
  g_handled_on = std::this_thread::get_id();
  ++g_handled;
  if (request.arguments.contains("throw")) throw std::runtime_error("walk exploded");
  if (request.arguments.contains("fail")) return make_error("SCAN_FAILED: " + request.path);
  // A fresh context for every call: nothing stopped, nothing counted.
  EXPECT_FALSE(context.stop.stop_requested());
  EXPECT_EQ(context.counters.processed.load() + context.counters.total.load(), 0u);
  context.counters.total = 1;
  return Json{{"echo", request.arguments}, {"empty", Json::array()}};
}

// A record with its own to_json, as the modules' payloads have.
struct Pair {
  int left = 0;
  int right = 0;
};
void to_json(Json& out, const Pair& pair) { out = Json{{"left", pair.left}, {"right", pair.right}}; }

Result<std::vector<Pair>> pairs(const NoArguments&, ToolContext&) { return std::vector<Pair>{{1, 2}, {3, 4}}; }

constexpr CatalogueEntry kFakeEntry{"A fake tool.", R"({"type": "object"})"};

Json call_fake(const ToolBinding& tool, const Json& arguments) {
  g_read_on = g_handled_on = std::thread::id();
  return call_tool(tool, 9, arguments);
}

TEST(ToolCallTest, JobsRunOnThePoolAndTheirOutcomesGetTheEnvelope) {
  constexpr ToolBinding kEcho = bind_tool<echo>("t", kFakeEntry, PathCheck::none, Step::handle, true);
  Json ok = call_fake(kEcho, Json{{"a", 1}});
  EXPECT_FALSE(is_error(ok));
  EXPECT_EQ(text_of(ok), "{\n  \"echo\": {\n    \"a\": 1\n  },\n  \"empty\": []\n}" + result_footer());
  EXPECT_EQ(result_footer(),
            "\n\n---\nThis is a read-only scan from the Corvane MCP server. To act on these results (safely "
            "delete, move to Recycle Bin, organize, or schedule cleanups) install the free Corvane desktop "
            "app: https://corvane.app/download");
  EXPECT_EQ(text_of(call_tool(bind_tool<echo>("t", kFakeEntry, PathCheck::none, Step::handle, false), 9, Json::object())),
            "{\n  \"echo\": {},\n  \"empty\": []\n}");

  Json failed = call_fake(kEcho, Json{{"throw", true}});
  EXPECT_TRUE(is_error(failed));
  EXPECT_EQ(text_of(failed).rfind("Error: TASK_ERROR: ", 0), 0u);
  EXPECT_NE(text_of(failed).find("walk exploded"), std::string::npos);

  // Thrown while reading, before any job: still a task error, from the
  // dispatcher's own catch.
  EXPECT_EQ(text_of(call_fake(kEcho, Json{{"throw_in_read", 1}})),
            "Error: TASK_ERROR: task ended by an exception: bad read");
  Json tool_error = call_fake(kEcho, Json{{"fail", 1}, {"path", "/x"}});
  EXPECT_EQ(text_of(tool_error), "Error: SCAN_FAILED: /x");
  EXPECT_TRUE(is_error(tool_error));

  // Records become JSON through their own to_json.
  constexpr ToolBinding kPairs = bind_tool<pairs>("p", kFakeEntry, PathCheck::none, Step::read, true);
  EXPECT_EQ(text_of(call_fake(kPairs, Json::array())),
            "[\n  {\n    \"left\": 1,\n    \"right\": 2\n  },\n  {\n    \"left\": 3,\n    \"right\": 4\n  }\n]" +
                result_footer());
}

TEST(ToolCallTest, StepsBeforePoolFromRunOnTheCallersThreadTheRestAsOneJob) {
  const std::thread::id caller = std::this_thread::get_id();
  struct Case {
    ToolBinding tool;
    bool read_here;
    bool handled_here;
  };
  const Case cases[] = {
      {bind_tool<echo>("t", kFakeEntry, PathCheck::none, Step::read, true), false, false},
      {bind_tool<echo>("t", kFakeEntry, PathCheck::none, Step::check, true), true, false},
      {bind_tool<echo>("t", kFakeEntry, PathCheck::none, Step::handle, true), true, false},
      {bind_tool<echo>("t", kFakeEntry, PathCheck::none, Step::never, true), true, true},
  };
  for (const Case& c : cases) {
    const int step = static_cast<int>(c.tool.pool_from);
    EXPECT_FALSE(is_error(call_fake(c.tool, Json::object()))) << step;
    EXPECT_EQ(g_read_on == caller, c.read_here) << step;
    EXPECT_EQ(g_handled_on == caller, c.handled_here) << step;
    // Read and handled in the same job when the job starts at reading.
    if (c.tool.pool_from == Step::read) {
      EXPECT_EQ(g_read_on, g_handled_on);
    }
  }
}

TEST(ToolCallTest, AFailedStepEndsTheCallBeforeTheNext) {
  corvane::testing::ScratchDir scratch;
  const std::string file = corvane::testing::ScratchDir::path_text(scratch.file("f.txt", 3));
  const std::string missing = scratch.text("missing");
  for (Step pool_from : {Step::read, Step::check, Step::handle, Step::never}) {
    const ToolBinding exists{"t", &kFakeEntry, PathCheck::exists, pool_from, true, &run_steps<echo>};
    const ToolBinding directory{"t", &kFakeEntry, PathCheck::directory, pool_from, true, &run_steps<echo>};
    const int before = g_handled;
    EXPECT_EQ(text_of(call_fake(exists, Json{{"unreadable", 1}})), "Error: missing required string argument: unreadable");
    EXPECT_EQ(text_of(call_fake(exists, Json{{"path", missing}})), "Error: PATH_NOT_FOUND: " + missing);
    EXPECT_EQ(text_of(call_fake(directory, Json{{"path", missing}})), "Error: PATH_NOT_FOUND: " + missing);
    EXPECT_EQ(text_of(call_fake(directory, Json{{"path", file}})), "Error: PATH_NOT_DIRECTORY: " + file);
    EXPECT_EQ(g_handled, before) << "a handler ran after a failed step";
    EXPECT_FALSE(is_error(call_fake(exists, Json{{"path", file}})));
    EXPECT_FALSE(is_error(call_fake(directory, Json{{"path", scratch.text()}})));
    EXPECT_EQ(g_handled, before + 2);
  }
}

TEST(PathCheckTest, MissingPathsAndNonDirectoriesFailWithThePathAsGiven) {
  corvane::testing::ScratchDir scratch;
  scratch.file("only-zero/z");
  const std::string file = corvane::testing::ScratchDir::path_text(scratch.file("f.txt", 3));
  const std::string missing = scratch.text("missing");
  EXPECT_TRUE(check_path(file, PathCheck::exists).ok());
  EXPECT_TRUE(check_path(scratch.text(), PathCheck::directory).ok());
  EXPECT_TRUE(check_path("", PathCheck::none).ok());
  EXPECT_EQ(check_path(missing, PathCheck::exists).error(), "PATH_NOT_FOUND: " + missing);
  EXPECT_EQ(check_path(missing, PathCheck::exists).error_code(), ErrorCode::not_found);
  EXPECT_EQ(check_path("", PathCheck::exists).error(), "PATH_NOT_FOUND: ");
  EXPECT_EQ(check_path(file, PathCheck::directory).error(), "PATH_NOT_DIRECTORY: " + file);
  EXPECT_EQ(check_path(missing, PathCheck::directory).error(), "PATH_NOT_FOUND: " + missing);
  // Cut at the NUL this would name the existing folder.
  const std::string nul = scratch.text("only-zero") + std::string(1, '\0') + "x";
  EXPECT_EQ(check_path(nul, PathCheck::exists).error(), "PATH_NOT_FOUND: " + nul);
  EXPECT_EQ(check_path(nul, PathCheck::directory).error(), "PATH_NOT_FOUND: " + nul);
}

TEST(ToolRegistryTest, EachToolIsBoundOnceUnderItsCatalogueName) {
  Json catalogue = tool_catalogue();
  ASSERT_EQ(catalogue.size(), tool_bindings().size());
  std::set<std::string_view> names;
  for (std::size_t i = 0; i < catalogue.size(); ++i) {
    const ToolBinding& tool = tool_bindings()[i];
    EXPECT_EQ(catalogue[i]["name"], tool.name);
    EXPECT_EQ(find_tool(tool.name), &tool);
    EXPECT_TRUE(names.insert(tool.name).second) << tool.name;
    // Only the companion tool answers inline, and only it has no footer.
    const bool companion = tool.name == "get_corvane_app";
    EXPECT_EQ(tool.pool_from == Step::never, companion) << tool.name;
    EXPECT_EQ(tool.footer, !companion) << tool.name;
  }
  EXPECT_EQ(find_tool("LIST_DISKS"), nullptr);
  EXPECT_EQ(find_tool(""), nullptr);
  EXPECT_EQ(find_tool(std::string_view("list_disks\0", 11)), nullptr);
}

TEST(ToolRegistryTest, PathToolsCheckTheirPathAtTheirOwnStep) {
  corvane::testing::ScratchDir scratch;
  const std::string file = corvane::testing::ScratchDir::path_text(scratch.file("f.txt", 3));
  const std::string missing = scratch.text("missing");
  auto text = [](const char* name, const Json& arguments) {
    return text_of(call_tool(*find_tool(name), 1, arguments));
  };
  EXPECT_EQ(text("scan_top_files", {{"path", missing}}), "Error: PATH_NOT_FOUND: " + missing);
  EXPECT_EQ(text("scan_top_files", {{"path", file}}).substr(0, 2), "[]");
  EXPECT_EQ(text("scan_top_files", {{"top_n", 3}}), "Error: missing required string argument: path");
  for (const char* scan : {"scan_empty_files", "scan_empty_folders"}) {
    EXPECT_EQ(text(scan, {{"path", missing}}), "Error: PATH_NOT_FOUND: " + missing);
    EXPECT_EQ(text(scan, {{"path", file}}), "Error: PATH_NOT_DIRECTORY: " + file);
    EXPECT_EQ(text(scan, {{"path", 7}}), "Error: missing required string argument: path");
  }
  EXPECT_EQ(text("find_copies", {{"search_dirs", {missing}}}), "Error: missing required string argument: seed_path");
  EXPECT_EQ(text("find_copies", {{"seed_path", file}}), "Error: search_dirs must contain at least one directory");
  EXPECT_EQ(text("find_copies", {{"seed_path", missing}, {"search_dirs", {file}}}), "Error: SEED_FILE_NOT_FOUND");
  EXPECT_EQ(text("find_copies", {{"seed_path", file}, {"search_dirs", {file}}}), "Error: SEARCH_DIR_NOT_DIRECTORY");
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
