// Every listing this platform builds, so that the real-disk walk tests run
// against each: the portable POSIX listing is not the native one on Linux,
// and would rot untested otherwise. Each also runs with cache warmers
// reading ahead of every walk, which must change nothing the walk reports.
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
  platform::WarmAhead warm = platform::WarmAhead::when_slow;
};

// Holds a test's walks to its listing's warming for the test's lifetime.
class WarmAheadFor {
 public:
  explicit WarmAheadFor(const ListingUnderTest& listing) { platform::set_warm_ahead_override(listing.warm); }
  ~WarmAheadFor() { platform::set_warm_ahead_override(platform::WarmAhead::when_slow); }
  WarmAheadFor(const WarmAheadFor&) = delete;
  WarmAheadFor& operator=(const WarmAheadFor&) = delete;
};

std::vector<ListingUnderTest> listings_under_test();

inline void PrintTo(const ListingUnderTest& listing, std::ostream* out) { *out << listing.name; }

inline std::string listing_test_name(const ::testing::TestParamInfo<ListingUnderTest>& info) {
  return info.param.name;
}

}  // namespace corvane::testing
