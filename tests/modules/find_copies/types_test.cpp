#include "modules/find_copies/copy_types.h"

#include <gtest/gtest.h>

namespace corvane::find_copies {
namespace {

std::vector<std::string> paths(const std::vector<CopyEntry>& rows) {
  std::vector<std::string> out;
  for (const CopyEntry& row : rows) out.push_back(row.path);
  return out;
}

TEST(CopyTypesTest, EveryErrorKindHasItsCode) {
  EXPECT_EQ(copy_error_code(CopyError::seed_not_found), "SEED_FILE_NOT_FOUND");
  EXPECT_EQ(copy_error_code(CopyError::seed_not_regular), "SEED_FILE_NOT_REGULAR");
  EXPECT_EQ(copy_error_code(CopyError::seed_too_large), "SEED_FILE_TOO_LARGE");
  EXPECT_EQ(copy_error_code(CopyError::seed_read_failed), "SEED_FILE_READ_FAILED");
  EXPECT_EQ(copy_error_code(CopyError::seed_canonicalization_failed), "SEED_FILE_CANONICALIZATION_FAILED");
  EXPECT_EQ(copy_error_code(CopyError::search_dir_not_found), "SEARCH_DIR_NOT_FOUND");
  EXPECT_EQ(copy_error_code(CopyError::search_dir_not_directory), "SEARCH_DIR_NOT_DIRECTORY");
  EXPECT_EQ(copy_error_code(CopyError::search_dir_permission_denied), "SEARCH_DIR_PERMISSION_DENIED");
  EXPECT_EQ(copy_error_code(CopyError::too_many_search_dirs), "TOO_MANY_SEARCH_DIRS");
  EXPECT_EQ(copy_error_code(CopyError::invalid_similarity_threshold), "INVALID_SIMILARITY_THRESHOLD");
  EXPECT_EQ(copy_error_code(CopyError::cancelled), "SCAN_CANCELLED");
}

TEST(CopyTypesTest, MatchesAreOrderedBytewiseAndBySimilarityStably) {
  auto row = [](std::string path, std::optional<double> similarity = std::nullopt) {
    return CopyEntry{similarity, std::move(path), 1, 2, MatchType::similar};
  };
  // Bytewise: upper case before lower case, and UTF-8 bytes after ASCII.
  std::vector<CopyEntry> exact = {row("/b"), row("/\xC3\xA9"), row("/B"), row("/a"), row("/a")};
  order_matches(exact, MatchMode::exact);
  EXPECT_EQ(paths(exact), (std::vector<std::string>{"/B", "/a", "/a", "/b", "/\xC3\xA9"}));

  std::vector<CopyEntry> similar = {row("/c", 0.5), row("/b", 1.0), row("/a", 0.5), row("/z"), row("/d", 0.0)};
  order_matches(similar, MatchMode::similar);
  EXPECT_EQ(paths(similar), (std::vector<std::string>{"/b", "/a", "/c", "/d", "/z"}));
}

}  // namespace
}  // namespace corvane::find_copies
