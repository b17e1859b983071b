#include <gtest/gtest.h>

#include "platform/listings.h"

namespace corvane::testing {

std::vector<ListingUnderTest> listings_under_test() {
  using platform::WarmAhead;
  return {{"native", &platform::native_listing},
          {"portable", &platform::portable_listing},
          {"native_warmed", &platform::native_listing, WarmAhead::always},
          {"portable_warmed", &platform::portable_listing, WarmAhead::always}};
}

}  // namespace corvane::testing
