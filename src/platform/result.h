// A value or an error. Lower layers return Result<T>; the error's text
// travels upward unchanged and becomes the tool's error message, and its code
// says what kind of failure it was, for the callers that decide by kind.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <variant>

namespace corvane {

// Only the kinds some caller tells apart; every other failure is `other`.
// Platform functions set them from the system's error code.
enum class ErrorCode : std::uint8_t {
  other,
  not_found,          // the path, or a folder on the way to it, does not exist
  permission_denied,  // the system refused access
};

struct Error {
  ErrorCode code = ErrorCode::other;
  std::string message;  // the system's own text, shown to the client as it is
};

// The one way errors are made: a text in one of the system's three shapes
// ("CODE", "CODE: detail", or a sentence), and its kind when one applies.
inline Error make_error(std::string message) { return Error{ErrorCode::other, std::move(message)}; }
inline Error make_error(ErrorCode code, std::string message) { return Error{code, std::move(message)}; }

template <typename T>
class [[nodiscard]] Result {
 public:
  using value_type = T;

  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}  // NOLINT: implicit by design
  Result(Error error) : state_(std::in_place_index<1>, std::move(error)) {}  // NOLINT

  bool ok() const { return state_.index() == 0; }
  explicit operator bool() const { return ok(); }

  // Precondition: ok().
  T& value() & { return std::get<0>(state_); }
  const T& value() const& { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }

  // Precondition: !ok(). failure() hands the error on whole, kind and text.
  const Error& failure() const { return std::get<1>(state_); }
  const std::string& error() const { return failure().message; }
  ErrorCode error_code() const { return failure().code; }

 private:
  std::variant<T, Error> state_;
};

// Success without a value is still a distinct, checkable state.
struct Unit {};
using Status = Result<Unit>;
inline Status ok_status() { return Unit{}; }

}  // namespace corvane
