#include "modules/find_copies/os_errors.h"

#include <charconv>

namespace corvane::find_copies {

std::optional<int> os_error_code(std::string_view text) {
  constexpr std::string_view kMarker = "(os error ";
  std::size_t at = text.rfind(kMarker);
  if (at == std::string_view::npos || text.empty() || text.back() != ')') return std::nullopt;
  std::string_view digits = text.substr(at + kMarker.size(), text.size() - 1 - at - kMarker.size());
  int code = 0;
  auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), code);
  if (ec != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
  return code;
}

}  // namespace corvane::find_copies
