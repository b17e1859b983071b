#include "mcp_server/session.h"

#include <algorithm>
#include <array>
#include <string>

namespace corvane::mcp {

namespace {

struct KnownVersion {
  ProtocolVersion version;
  std::string_view text;
};

constexpr std::array<KnownVersion, 3> kVersions{{
    {ProtocolVersion::v2024_11_05, "2024-11-05"},
    {ProtocolVersion::v2025_06_18, "2025-06-18"},
    {ProtocolVersion::v2025_11_25, "2025-11-25"},
}};

bool is_digit(char c) { return c >= '0' && c <= '9'; }

int two_digits(std::string_view text, std::size_t at) { return (text[at] - '0') * 10 + (text[at + 1] - '0'); }

// YYYY-MM-DD with a month of 01 to 12 and a day of 01 to 31: such texts
// compare as their dates do.
bool is_date(std::string_view text) {
  if (text.size() != 10 || text[4] != '-' || text[7] != '-') return false;
  for (std::size_t i : {0, 1, 2, 3, 5, 6, 8, 9}) {
    if (!is_digit(text[i])) return false;
  }
  int month = two_digits(text, 5);
  int day = two_digits(text, 8);
  return month >= 1 && month <= 12 && day >= 1 && day <= 31;
}

}  // namespace

std::string_view version_text(ProtocolVersion version) {
  for (const KnownVersion& known : kVersions) {
    if (known.version == version) return known.text;
  }
  return kVersions.front().text;
}

ProtocolVersion negotiate_version(const Json& params) {
  constexpr ProtocolVersion kOldest = kVersions.front().version;
  if (!params.is_object()) return kOldest;
  auto asked = params.find("protocolVersion");
  if (asked == params.end() || !asked->is_string()) return kOldest;
  const std::string& text = asked->get_ref<const std::string&>();
  if (!is_date(text)) return kOldest;
  // The newest not newer than the client's; a client older than every
  // version gets the oldest, which it may still refuse.
  auto settled =
      std::find_if(kVersions.rbegin(), kVersions.rend(), [&](const KnownVersion& known) { return known.text <= text; });
  return settled == kVersions.rend() ? kOldest : settled->version;
}

}  // namespace corvane::mcp
