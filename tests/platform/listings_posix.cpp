#include <gtest/gtest.h>

#include "platform/listings.h"

namespace corvane::testing {

std::vector<ListingUnderTest> listings_under_test() {
  return {{"native", &platform::native_listing}, {"portable", &platform::portable_listing}};
}

}  // namespace corvane::testing
