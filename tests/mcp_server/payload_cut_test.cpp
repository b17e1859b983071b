// Replies held to a byte budget: random record lists with every kind of
// escape, cut at random budgets, against what the cut must preserve.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "mcp_server/dispatch.h"
#include "mcp_server/json_text.h"
#include "mcp_server/methods.h"
#include "platform/text.h"

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

// `cut` keeps everything of `whole` but a prefix of "files", and is marked
// exactly when records were lost. Returns how many were.
std::size_t check_cut(const Json& whole, Json cut) {
  // As the client reads it: bytes that are not UTF-8 repaired.
  Json rest = parse_json(to_compact_json(whole)).value();
  const Json& all = rest["files"];
  const Json& listed = cut["files"];
  EXPECT_LE(listed.size(), all.size());
  for (std::size_t i = 0; i < listed.size(); ++i) EXPECT_EQ(listed[i], all[i]) << "record " << i;
  std::size_t lost = all.size() - listed.size();
  if (lost > 0) {
    EXPECT_EQ(cut["omitted_count"], rest.value("omitted_count", std::uint64_t{0}) + lost);
    EXPECT_EQ(cut["truncated"], true);
  }
  for (const char* key : {"files", "omitted_count", "truncated"}) {
    rest.erase(key);
    cut.erase(key);
  }
  EXPECT_EQ(cut, rest) << "only the list and its markers change";
  return lost;
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
    // One record more would not have fitted, give or take the width the
    // count was measured at.
    if (check_cut(payload, cut) > 0) {
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

  // An error that fits is whole; one that does not is cut to the budget at
  // a character boundary and marked.
  std::string message = "PATH_NOT_FOUND: /" + std::string(3000, 'x');
  Json whole_error = tool_result_reply(1, ToolOutcome(make_error(message)), true, 4000);
  EXPECT_EQ(text_of(whole_error), "Error: " + message);
  std::string accents;
  for (int i = 0; i < 1500; ++i) accents += "\u00e9";
  for (const std::string& tail : {std::string(3000, 'x'), accents}) {
    Json cut = tool_result_reply(1, ToolOutcome(make_error("PATH_NOT_FOUND: /" + tail)), true, 200);
    std::string text = text_of(cut);
    EXPECT_LE(line_size(cut), 200u);
    EXPECT_GT(line_size(cut), 190u);
    EXPECT_TRUE(text.starts_with("Error: PATH_NOT_FOUND: /")) << text;
    EXPECT_TRUE(text.ends_with("\u2026")) << text;
    EXPECT_TRUE(platform::is_valid_utf8(text)) << text;
  }
}

// With the structured copy, for an object payload and for an array one:
// the line keeps the budget, both copies list the same prefix, and the cut
// is told in each copy's own way.
TEST(ReplyBudgetTest, BothCopiesAreCutAlikeAndEachTellsTheCut) {
  Paths paths(11);
  // As the client reads it: bytes that are not UTF-8 repaired.
  auto as_read = [](const Json& value) { return parse_json(to_compact_json(value)).value(); };
  for (int round = 0; round < 60; ++round) {
    const bool array = round % 2 == 0;
    Json object = files_payload(paths, 1 + paths.pick(200), !array && round % 3 == 0);
    Json payload = array ? object["files"] : object;
    std::string footer = round % 4 < 2 ? result_footer() : std::string();
    ResultForm form{.footer = footer, .list_key = "files", .structured = true};
    Json whole = tool_result_reply("id", ToolOutcome(payload), form, static_cast<std::size_t>(-1));
    std::size_t budget = 400 + paths.pick(static_cast<int>(line_size(whole)));
    Json reply = tool_result_reply("id", ToolOutcome(payload), form, budget);
    SCOPED_TRACE("round " + std::to_string(round));
    ASSERT_LE(line_size(reply), budget);
    Json structured = as_read(reply["result"]["structuredContent"]);
    std::string text = text_of(reply);
    std::size_t end = footer.empty() ? text.find("\nOnly ") : text.find(footer);
    Json shown = parse_json(text.substr(0, end)).value();
    std::string after = end == std::string::npos ? "" : text.substr(end + footer.size());
    EXPECT_EQ(array ? structured["files"] : structured, shown);
    if (line_size(whole) <= budget) {
      EXPECT_EQ(to_compact_json(reply), to_compact_json(whole));
      EXPECT_EQ(after, "");
      continue;
    }
    Json as_object = structured;
    if (array) as_object["total_count"] = object["total_count"];
    std::size_t lost = check_cut(object, as_object);
    std::string note = "\nOnly " + std::to_string(shown.size()) + " of the " + std::to_string(payload.size()) +
                       " files found are listed: the rest did not fit in one reply.";
    EXPECT_EQ(after, array && lost > 0 ? note : "");
    if (lost == 0) continue;
    // One record more would not have fitted, whatever the marks take.
    Json more = payload;
    Json& list = array ? more : more["files"];
    std::size_t listed = (array ? shown : shown["files"]).size();
    list.erase(list.begin() + static_cast<std::ptrdiff_t>(listed) + 1, list.end());
    Json longer = tool_result_reply("id", ToolOutcome(more), form, static_cast<std::size_t>(-1));
    EXPECT_GT(line_size(longer) + 150, budget);
  }
}

// The client's id is echoed whole, however long: what it leaves of the
// budget is all the lists and echoed names get.
TEST(ReplyBudgetTest, AHugeIdEmptiesAndMarksTheListsAndAHugeMethodNameIsCut) {
  Paths paths(2);
  Json id = std::string(kReplyBudget, 'i');
  Json object = files_payload(paths, 20, false);
  for (bool structured : {false, true}) {
    ResultForm form{.footer = "", .list_key = "files", .structured = structured};
    Json reply = tool_result_reply(id, ToolOutcome(object["files"]), form);
    EXPECT_EQ(reply["id"], id);
    EXPECT_EQ(text_of(reply), "[]\nOnly 0 of the 20 files found are listed: the rest did not fit in one reply.");
    if (structured) {
      EXPECT_EQ(reply["result"]["structuredContent"], Json::parse(R"({"files":[],"omitted_count":20,"truncated":true})"));
    }
    Json marked = tool_result_reply(id, ToolOutcome(object), form);
    EXPECT_EQ(payload_of(marked, false), Json::parse(R"({"files":[],"omitted_count":20,"total_count":20,"truncated":true})"));
  }
  std::string method(1'200'000, 'm');
  Json not_found = method_not_found_reply(7, method);
  EXPECT_LE(line_size(not_found), kReplyBudget);
  EXPECT_GT(line_size(not_found), kReplyBudget - 8);
  std::string message = not_found["error"]["message"];
  EXPECT_TRUE(message.starts_with("Method not found: mmm") && message.ends_with("m\u2026")) << message.substr(0, 30);
  EXPECT_EQ(method_not_found_reply(id, method)["id"], id);
  EXPECT_EQ(method_not_found_reply(7, "resources/list")["error"]["message"], "Method not found: resources/list");
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
