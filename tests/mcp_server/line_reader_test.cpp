#include "mcp_server/line_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace corvane::mcp {
namespace {

// A byte source that hands out its text in pieces of at most `step` bytes,
// then end of input or a read error.
struct ScriptedInput {
  std::string text;
  std::size_t step;
  bool fail_at_end = false;
  std::size_t at = 0;
  long operator()(char* buf, std::size_t n) {
    if (at == text.size()) return fail_at_end ? -1 : 0;
    std::size_t k = std::min({n, step, text.size() - at});
    std::memcpy(buf, text.data() + at, k);
    at += k;
    return static_cast<long>(k);
  }
};

std::vector<std::string> read_all(ScriptedInput input) {
  LineReader reader(std::ref(input));
  std::vector<std::string> lines;
  while (auto line = reader.next()) lines.push_back(*line);
  return lines;
}

TEST(LineReaderTest, SplitsOnNewlineStripsOneCarriageReturnAndKeepsTheLastLine) {
  using V = std::vector<std::string>;
  for (std::size_t step : {1u, 3u, 65536u}) {
    EXPECT_EQ(read_all({"a\nb\r\n\nc", step}), (V{"a", "b", "", "c"})) << step;
    EXPECT_EQ(read_all({"x\r\r\n", step}), (V{"x\r"})) << step;
    EXPECT_EQ(read_all({"", step}), V{}) << step;
    EXPECT_EQ(read_all({"\n", step}), V{""}) << step;
    EXPECT_EQ(read_all({"last\r", step}), V{"last"}) << step;
  }
}

TEST(LineReaderTest, LongLinesAndLongBurstsArriveWhole) {
  std::string big(3 * 1024 * 1024 + 17, 'q');
  std::string burst;
  for (int i = 0; i < 50000; ++i) burst += std::to_string(i) + "\n";
  auto lines = read_all({big + "\n" + burst, 70000});
  ASSERT_EQ(lines.size(), 50001u);
  EXPECT_EQ(lines[0], big);
  EXPECT_EQ(lines[1], "0");
  EXPECT_EQ(lines[50000], "49999");
}

TEST(LineReaderTest, ReadErrorEndsInputAndDropsTheUnfinishedLine) {
  ScriptedInput input{"one\ntwo", 100, true};
  auto lines = read_all(input);
  EXPECT_EQ(lines, std::vector<std::string>{"one"});
}

}  // namespace
}  // namespace corvane::mcp
