// Every listing this platform builds, so that the real-disk walk tests run
// against each: the portable POSIX listing is not the native one on Linux,
// and would rot untested otherwise.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/dir_walk.h"

namespace corvane::testing {

struct ListingUnderTest {
  std::string name;
  std::unique_ptr<platform::ListingSource> (*make)();
};

std::vector<ListingUnderTest> listings_under_test();

inline void PrintTo(const ListingUnderTest& listing, std::ostream* out) { *out << listing.name; }

inline std::string listing_test_name(const ::testing::TestParamInfo<ListingUnderTest>& info) {
  return info.param.name;
}

}  // namespace corvane::testing
