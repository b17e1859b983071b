// SHA-256 by the platform's provider: OpenSSL EVP on POSIX, BCrypt on
// Windows.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include "platform/result.h"

namespace corvane::platform {

// SHA-256 over data fed in pieces. Every provider call is checked and a
// failure is remembered: finish() then gives an error, never a digest that
// a failing provider left at zero (which would make every file of a size
// "identical").
class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;
  void update(const void* data, std::size_t size);
  // The digest, or "SHA-256 provider failed". Once per object.
  Result<std::array<std::uint8_t, 32>> finish();

  struct State;

 private:
  std::unique_ptr<State> state_;
};

// The provider calls of one digest, in order, for tests that fail one.
enum class Sha256Step { create, init, update, finish };

// Tests only: `fault` is asked before every provider call of every Sha256,
// and the call fails as a refusing provider's would when it answers true;
// an empty function restores the provider. Set it while nothing is being
// hashed; the copy finder then calls it from several threads at once.
void set_sha256_fault_for_testing(std::function<bool(Sha256Step)> fault);

// For the provider files: false when a test's fault fails `step`.
bool sha256_step_allowed(Sha256Step step);

}  // namespace corvane::platform
