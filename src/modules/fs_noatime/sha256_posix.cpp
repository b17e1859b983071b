#include <openssl/evp.h>

#include "modules/fs_noatime/fs_noatime.h"

namespace corvane::fs_noatime {

struct Sha256::State {
  EVP_MD_CTX* context = nullptr;
};

Sha256::Sha256() : state_(std::make_unique<State>()) {
  state_->context = EVP_MD_CTX_new();
  if (state_->context != nullptr) EVP_DigestInit_ex(state_->context, EVP_sha256(), nullptr);
}

Sha256::~Sha256() { EVP_MD_CTX_free(state_->context); }

void Sha256::update(const void* data, std::size_t size) {
  if (state_->context != nullptr) EVP_DigestUpdate(state_->context, data, size);
}

std::array<std::uint8_t, 32> Sha256::finish() {
  std::array<std::uint8_t, 32> out{};
  unsigned int length = 0;
  if (state_->context != nullptr) EVP_DigestFinal_ex(state_->context, out.data(), &length);
  return out;
}

}  // namespace corvane::fs_noatime
