#include "modules/find_copies/find_copies_tool.h"

#include <gtest/gtest.h>

namespace corvane::find_copies {
namespace {

Result<FindCopiesRequest> parse(const char* json) {
  FindCopiesRequest request;
  if (Status read = read_arguments(Json::parse(json), request); !read.ok()) return read.failure();
  return request;
}

TEST(FindCopiesRequestTest, ArgumentsAreTakenInOrderWithTheirDefaults) {
  Result<FindCopiesRequest> r = parse(R"({"seed_path":"/s","search_dirs":["/a",1,null,"/b","/a"],"task_id":"x"})");
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r->seed_path, "/s");
  EXPECT_EQ(r->search_dirs, (std::vector<std::string>{"/a", "/b", "/a"}));
  EXPECT_TRUE(r->recursive);
  EXPECT_EQ(r->match_mode, MatchMode::exact);
  EXPECT_FALSE(r->similarity_threshold);
  EXPECT_EQ(r->task_id, server_task_id());  // the client's task_id is not read

  r = parse(R"({"seed_path":"","search_dirs":["/a"],"recursive":false,"match_mode":"similar","similarity_threshold":1})");
  ASSERT_TRUE(r.ok());
  EXPECT_FALSE(r->recursive);
  EXPECT_EQ(r->match_mode, MatchMode::similar);
  EXPECT_EQ(r->similarity_threshold, 1.0);

  // Values of the wrong type fall back silently: no default threshold.
  r = parse(R"({"seed_path":"/s","search_dirs":["/a"],"recursive":"no","match_mode":3,"similarity_threshold":"0.9"})");
  ASSERT_TRUE(r.ok());
  EXPECT_TRUE(r->recursive);
  EXPECT_EQ(r->match_mode, MatchMode::exact);
  EXPECT_FALSE(r->similarity_threshold);
  EXPECT_EQ(server_task_id().rfind("mcp_", 0), 0u);
}

TEST(FindCopiesRequestTest, FailuresComeInIntakeOrder) {
  EXPECT_EQ(parse(R"({"search_dirs":"/a","match_mode":"bad"})").error(), "missing required string argument: seed_path");
  EXPECT_EQ(parse(R"(["seed_path"])").error(), "missing required string argument: seed_path");
  EXPECT_EQ(parse(R"({"seed_path":"/s","search_dirs":"/a","match_mode":"bad"})").error(),
            "search_dirs must contain at least one directory");
  EXPECT_EQ(parse(R"({"seed_path":"/s","search_dirs":[1,2]})").error(), "search_dirs must contain at least one directory");
  EXPECT_EQ(parse(R"({"seed_path":"/s","search_dirs":["/a"],"match_mode":"Exact"})").error(),
            "invalid arguments: unknown variant `Exact`, expected `exact` or `similar`");
}

TEST(FindCopiesRequestTest, PayloadKeysAndTheOmittedSimilarity) {
  CopySearchResult result{"/s", {CopyEntry{std::nullopt, "/s", 3, 4, MatchType::seed},
                                 CopyEntry{0.9844, "/c", 3, 0, MatchType::similar}}};
  Json payload = result;
  EXPECT_EQ(payload.dump(),
            R"({"entries":[{"match_type":"seed","modified":4,"path":"/s","size":3},)"
            R"({"match_type":"similar","modified":0,"path":"/c","similarity":0.9844,"size":3}],"seed_path":"/s"})");
}

}  // namespace
}  // namespace corvane::find_copies
