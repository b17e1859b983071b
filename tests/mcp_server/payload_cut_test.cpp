// Replies held to a byte budget: random payloads of the shapes the tools
// build, cut at random budgets, against what the cut must preserve.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "mcp_server/dispatch.h"
#include "mcp_server/json_text.h"

namespace corvane::mcp {
namespace {

std::size_t line_size(const Json& reply) { return to_compact_json(reply).size(); }
std::string text_of(const Json& reply) { return reply["result"]["content"][0]["text"]; }

// Parses the payload back out of a reply's text.
Json payload_of(const Json& reply, bool footer) {
  std::string text = text_of(reply);
  if (footer) text.resize(text.size() - result_footer().size());
  return parse_json(text).value();
}

class Paths {
 public:
  explicit Paths(unsigned seed) : random_(seed) {}
  std::string next() {
    static const std::string kPieces[] = {"/home/user", "/cache", "/a b", "/\"quoted\"", "/tab\t", "/\x01", "/caf\xC3\xA9",
                                          "/bad\xFF", "/\\back", "/long-name-of-a-folder-with-many-letters"};
    std::string path;
    for (int n = 1 + pick(6); n > 0; --n) path += kPieces[pick(10)];
    return path;
  }
  int pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(random_); }

 private:
  std::mt19937 random_;
};

Json files_payload(Paths& paths, int count, bool marked) {
  Json files = Json::array();
  for (int i = 0; i < count; ++i) {
    std::string path = paths.next();
    files.push_back(Json{{"path", path}, {"name", "n"}, {"size", 0}, {"extension", nullptr}, {"modified", i}});
  }
  Json payload{{"files", files}, {"total_count", count + (marked ? 7 : 0)}};
  if (marked) {
    payload["omitted_count"] = 7;
    payload["truncated"] = true;
  }
  return payload;
}

Json junk_payload(Paths& paths, const std::vector<int>& sizes) {
  Json categories = Json::array();
  for (std::size_t c = 0; c < sizes.size(); ++c) {
    Json items = Json::array();
    for (int i = 0; i < sizes[c]; ++i) items.push_back(Json{{"path", paths.next()}, {"size", 100 - i}, {"is_dir", false}});
    std::string id(1, 'c');
    id += std::to_string(c);
    categories.push_back(Json{{"id", id}, {"item_count", sizes[c]}, {"paths", items},
                              {"safety", "safe"}, {"total_size", 5}});
  }
  return Json{{"categories", categories}, {"total_size", 5}};
}

// `cut` keeps everything of `whole` but a prefix of each record list, and
// marks exactly the objects whose lists lost records. Returns the records
// omitted per list, in text order.
std::vector<std::size_t> check_cut(const Json& whole, const Json& cut) {
  std::vector<std::size_t> omitted;
  // As the client reads it: bytes that are not UTF-8 repaired.
  Json rest_whole = parse_json(to_compact_json(whole)).value();
  Json rest_cut = cut;
  auto compare_list = [&](Json& w, Json& c, Json& holder_w, Json& holder_c, const char* key) {
    const Json& wl = w[key];
    const Json& cl = c[key];
    EXPECT_LE(cl.size(), wl.size());
    for (std::size_t i = 0; i < cl.size(); ++i) EXPECT_EQ(cl[i], wl[i]) << "record " << i;
    std::size_t lost = wl.size() - cl.size();
    omitted.push_back(lost);
    std::uint64_t before = holder_w.value("omitted_count", std::uint64_t{0});
    if (lost > 0) {
      EXPECT_EQ(holder_c["omitted_count"], before + lost);
      EXPECT_EQ(holder_c["truncated"], true);
    }
    holder_w.erase("omitted_count");
    holder_w.erase("truncated");
    holder_c.erase("omitted_count");
    holder_c.erase("truncated");
    w.erase(key);
    c.erase(key);
  };
  if (rest_whole.contains("files")) {
    compare_list(rest_whole, rest_cut, rest_whole, rest_cut, "files");
  } else {
    for (std::size_t i = 0; i < rest_whole["categories"].size(); ++i) {
      Json& w = rest_whole["categories"][i];
      Json& c = rest_cut["categories"][i];
      compare_list(w, c, w, c, "paths");
    }
  }
  EXPECT_EQ(rest_cut, rest_whole) << "only the lists and their markers change";
  return omitted;
}

TEST(ReplyBudgetTest, ARecordListIsCutToTheLongestPrefixThatFits) {
  Paths paths(7);
  for (int round = 0; round < 40; ++round) {
    Json payload = files_payload(paths, 1 + paths.pick(300), round % 3 == 0);
    bool footer = round % 2 == 0;
    Json whole = tool_result_reply(5, ToolOutcome(payload), footer, static_cast<std::size_t>(-1));
    std::size_t budget = 600 + paths.pick(static_cast<int>(line_size(whole)));
    Json reply = tool_result_reply(5, ToolOutcome(payload), footer, budget);
    ASSERT_LE(line_size(reply), budget) << "round " << round;
    if (line_size(whole) <= budget) {
      EXPECT_EQ(to_compact_json(reply), to_compact_json(whole));
      continue;
    }
    Json cut = payload_of(reply, footer);
    std::vector<std::size_t> omitted = check_cut(payload, cut);
    // One record more would not have fitted, give or take the width the
    // count was measured at.
    if (omitted[0] > 0) {
      Json more = cut;
      more["files"].push_back(parse_json(to_compact_json(payload["files"][cut["files"].size()])).value());
      more["omitted_count"] = 0;
      Json longer = tool_result_reply(5, ToolOutcome(more), footer, static_cast<std::size_t>(-1));
      EXPECT_GT(line_size(longer) + 20, budget) << "round " << round;
    }
  }
}

TEST(ReplyBudgetTest, RepliesThatFitAndErrorsAreUntouched) {
  Paths paths(3);
  Json payload = files_payload(paths, 50, false);
  Json whole = tool_result_reply(1, ToolOutcome(payload), true, static_cast<std::size_t>(-1));
  Json exact = tool_result_reply(1, ToolOutcome(payload), true, line_size(whole));
  EXPECT_EQ(to_compact_json(exact), to_compact_json(whole));
  Json one_less = tool_result_reply(1, ToolOutcome(payload), true, line_size(whole) - 1);
  EXPECT_LT(payload_of(one_less, true)["files"].size(), 50u);

  // Not a record list: arrays of plain values and of objects that hold
  // arrays stay whole, whatever the budget.
  Json plain{{"numbers", Json::array({1, 2, 3})}, {"nested", Json::array({Json{{"a", Json::array({1})}}})}};
  Json kept = tool_result_reply(1, ToolOutcome(plain), false, 10);
  EXPECT_EQ(payload_of(kept, false), plain);

  std::string message(3000, 'x');
  Json error = tool_result_reply(1, ToolOutcome(make_error(message)), true, 100);
  EXPECT_EQ(text_of(error), "Error: " + message);
}

TEST(ReplyBudgetTest, EveryCategoryGetsAFairShareBeforeTheLeftoverGoesInOrder) {
  Paths paths(11);
  for (int round = 0; round < 30; ++round) {
    std::vector<int> sizes;
    for (int c = 1 + paths.pick(6); c > 0; --c) sizes.push_back(paths.pick(4) == 0 ? 400 : 1 + paths.pick(12));
    Json payload = junk_payload(paths, sizes);
    std::size_t skeleton = line_size(tool_result_reply(1, ToolOutcome(junk_payload(paths, std::vector<int>(sizes.size(), 0))), true,
                                                        static_cast<std::size_t>(-1)));
    // Room for each list's markers and three records of the longest kind.
    std::size_t budget = skeleton + 1800 * sizes.size() + paths.pick(20000);
    Json reply = tool_result_reply(1, ToolOutcome(payload), true, budget);
    ASSERT_LE(line_size(reply), budget);
    Json cut = payload_of(reply, true);
    std::vector<std::size_t> omitted = check_cut(payload, cut);
    bool any_cut = false;
    for (std::size_t c = 0; c < sizes.size(); ++c) {
      // A small category behind a big one still gets what its share holds.
      if (sizes[c] <= 3) {
        EXPECT_EQ(omitted[c], 0u) << "round " << round << " category " << c;
      }
      any_cut = any_cut || omitted[c] > 0;
    }
    EXPECT_EQ(any_cut, line_size(tool_result_reply(1, ToolOutcome(payload), true, static_cast<std::size_t>(-1))) > budget);
  }
}

TEST(ReplyBudgetTest, EscapedSizeMatchesTheWritersEscapes) {
  std::mt19937 random(5);
  for (int round = 0; round < 2000; ++round) {
    std::string text;
    for (int n = std::uniform_int_distribution<int>(0, 30)(random); n > 0; --n) {
      text += static_cast<char>(std::uniform_int_distribution<int>(0, 255)(random));
    }
    EXPECT_EQ(escaped_size(text), to_compact_json(Json(text)).size() - 2) << round;
  }
}

}  // namespace
}  // namespace corvane::mcp
