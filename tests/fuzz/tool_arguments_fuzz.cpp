// Every tool's argument handling with arguments of every JSON type, over a
// fixed fixture tree: each call gets exactly one well-formed tool result,
// and failures are results with "isError" true, never protocol errors.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "mcp_server/dispatch.h"
#include "mcp_server/json_text.h"

using corvane::Json;
namespace fs = std::filesystem;
namespace mcp = corvane::mcp;

namespace {

fs::path g_root;
std::vector<std::string> g_paths;

void write_file(const fs::path& p, const std::string& content) {
  fs::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary) << content;
}

void build_fixture() {
  g_root = fs::temp_directory_path() / ("corvane-fuzz-" + std::to_string(::getpid()));
  fs::remove_all(g_root);
  write_file(g_root / "data/seed.txt", std::string(70000, 'a') + "tail");
  write_file(g_root / "data/sub/copy.txt", std::string(70000, 'a') + "tail");
  write_file(g_root / "data/sub/other.txt", std::string(70000, 'b'));
  write_file(g_root / "data/empty.log", "");
  fs::create_directories(g_root / "data/chain/a/b");
  write_file(g_root / "home/.cache/x/blob", "1234");
  write_file(g_root / "home/Documents/Thumbs.db", "t");
  std::error_code ec;
  fs::create_symlink(g_root / "data", g_root / "data/sub/loop", ec);
  // Scans look only here, so every run stays small and bounded.
  ::setenv("HOME", (g_root / "home").c_str(), 1);
  ::setenv("XDG_CACHE_HOME", (g_root / "home/.cache").c_str(), 1);
  ::setenv("XDG_STATE_HOME", (g_root / "home/.local/state").c_str(), 1);
  ::setenv("TMPDIR", (g_root / "home/tmp").c_str(), 1);
  g_paths = {(g_root / "data").string(), (g_root / "data/").string(), (g_root / "data/seed.txt").string(),
             (g_root / "data/sub").string(), (g_root / "missing").string(), "", "relative/dir", "data",
             (g_root / "data/sub/loop").string(), (g_root / "data/empty.log").string(), "chain", "SUB"};
}

Json fuzzed_value(FuzzedDataProvider& in, int depth);

Json fuzzed_string(FuzzedDataProvider& in) {
  if (in.ConsumeBool()) return g_paths[in.ConsumeIntegralInRange<std::size_t>(0, g_paths.size() - 1)];
  return in.ConsumeRandomLengthString(24);
}

Json fuzzed_value(FuzzedDataProvider& in, int depth) {
  switch (in.ConsumeIntegralInRange(0, depth > 2 ? 6 : 8)) {
    case 0: return nullptr;
    case 1: return in.ConsumeBool();
    case 2: return in.ConsumeIntegralInRange<std::int64_t>(-3, 260);
    case 3: return in.ConsumeIntegral<std::uint64_t>();
    case 4: return in.ConsumeFloatingPointInRange<double>(-2.0, 2.0);
    case 5:
    case 6: return fuzzed_string(in);
    case 7: {
      Json list = Json::array();
      for (int n = in.ConsumeIntegralInRange(0, 55); n > 0 && in.remaining_bytes() > 0; --n) {
        list.push_back(in.ConsumeIntegralInRange(0, 4) == 0 ? fuzzed_value(in, depth + 1) : fuzzed_string(in));
      }
      return list;
    }
    default: {
      Json object = Json::object();
      for (int n = in.ConsumeIntegralInRange(0, 3); n > 0; --n) object[in.ConsumeRandomLengthString(8)] = fuzzed_value(in, depth + 1);
      return object;
    }
  }
}

constexpr const char* kArgumentNames[] = {"path",      "top_n",      "recursive",           "exclude_paths", "seed_path",
                                          "search_dirs", "match_mode", "similarity_threshold", "extra"};

void require(bool condition, const char* what) {
  if (!condition) {
    __builtin_printf("invariant broken: %s\n", what);
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  build_fixture();
  std::atexit([] {
    std::error_code ec;
    fs::remove_all(g_root, ec);
  });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  std::vector<const mcp::ToolBinding*> tools;
  for (const auto& tool : mcp::tool_bindings()) {
    // disk_health starts child processes with long time limits; its
    // argument handling is "none", which list_disks covers.
    if (tool.name != "disk_health") tools.push_back(&tool);
  }
  const mcp::ToolBinding& tool = *tools[in.ConsumeIntegralInRange<std::size_t>(0, tools.size() - 1)];

  Json arguments;
  switch (in.ConsumeIntegralInRange(0, 9)) {
    case 0: arguments = fuzzed_value(in, 0); break;  // not even an object
    default:
      arguments = Json::object();
      for (const char* name : kArgumentNames) {
        if (in.ConsumeBool()) arguments[name] = fuzzed_value(in, 0);
      }
      if (tool.name == "find_copies" && in.ConsumeBool()) {
        arguments["match_mode"] = in.ConsumeBool() ? "similar" : "exact";
        arguments["seed_path"] = g_paths[2];
      }
  }

  Json reply = mcp::call_tool(tool, 1, arguments);
  std::string text = mcp::to_compact_json(reply);
  require(Json::parse(text).dump(-1, ' ', false, Json::error_handler_t::replace) == text, "compact, sorted reply");
  require(reply.size() == 3 && reply["id"] == 1 && reply["jsonrpc"] == "2.0", "result envelope");
  const Json& result = reply["result"];
  require(result.size() == 2 && result["isError"].is_boolean() && result["content"].size() == 1, "tool result");
  const std::string& body = result["content"][0]["text"].get_ref<const std::string&>();
  bool is_error = result["isError"].get<bool>();
  require(is_error == (body.rfind("Error: ", 0) == 0), "errors, and only errors, read \"Error: \"");
  require(is_error || !Json::parse(body.substr(0, body.find("\n\n---\n")), nullptr, false).is_discarded(),
          "a payload is JSON text");
  return 0;
}
