#include <gtest/gtest.h>

#include "platform/listings.h"

namespace corvane::testing {

std::vector<ListingUnderTest> listings_under_test() {
  return {{"native", &platform::native_listing},
          {"native_warmed", &platform::native_listing, platform::WarmAhead::always}};
}

}  // namespace corvane::testing
