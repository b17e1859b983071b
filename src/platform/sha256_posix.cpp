#include <openssl/evp.h>

#include "platform/sha256.h"

namespace corvane::platform {

struct Sha256::State {
  EVP_MD_CTX* context = nullptr;
  bool ok = false;  // every provider call so far succeeded
};

Sha256::Sha256() : state_(std::make_unique<State>()) {
  if (sha256_step_allowed(Sha256Step::create)) state_->context = EVP_MD_CTX_new();
  state_->ok = state_->context != nullptr && sha256_step_allowed(Sha256Step::init) &&
               EVP_DigestInit_ex(state_->context, EVP_sha256(), nullptr) == 1;
}

Sha256::~Sha256() { EVP_MD_CTX_free(state_->context); }

void Sha256::update(const void* data, std::size_t size) {
  state_->ok = state_->ok && sha256_step_allowed(Sha256Step::update) &&
               EVP_DigestUpdate(state_->context, data, size) == 1;
}

Result<std::array<std::uint8_t, 32>> Sha256::finish() {
  std::array<std::uint8_t, 32> out{};
  unsigned int length = 0;
  bool ok = state_->ok && sha256_step_allowed(Sha256Step::finish) &&
            EVP_DigestFinal_ex(state_->context, out.data(), &length) == 1 && length == out.size();
  state_->ok = false;  // the context is spent either way
  if (!ok) return make_error("SHA-256 provider failed");
  return out;
}

}  // namespace corvane::platform
