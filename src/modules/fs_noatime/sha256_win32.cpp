#include <windows.h>
#include <bcrypt.h>

#include "modules/fs_noatime/fs_noatime.h"

namespace corvane::fs_noatime {

struct Sha256::State {
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  BCRYPT_HASH_HANDLE hash = nullptr;
};

Sha256::Sha256() : state_(std::make_unique<State>()) {
  if (BCryptOpenAlgorithmProvider(&state_->algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0) != 0) {
    state_->algorithm = nullptr;
    return;
  }
  if (BCryptCreateHash(state_->algorithm, &state_->hash, nullptr, 0, nullptr, 0, 0) != 0) state_->hash = nullptr;
}

Sha256::~Sha256() {
  if (state_->hash != nullptr) BCryptDestroyHash(state_->hash);
  if (state_->algorithm != nullptr) BCryptCloseAlgorithmProvider(state_->algorithm, 0);
}

void Sha256::update(const void* data, std::size_t size) {
  const auto* bytes = static_cast<const UCHAR*>(data);
  while (state_->hash != nullptr && size > 0) {
    ULONG chunk = size > 0x40000000 ? 0x40000000 : static_cast<ULONG>(size);
    BCryptHashData(state_->hash, const_cast<PUCHAR>(bytes), chunk, 0);
    bytes += chunk;
    size -= chunk;
  }
}

std::array<std::uint8_t, 32> Sha256::finish() {
  std::array<std::uint8_t, 32> out{};
  if (state_->hash != nullptr) BCryptFinishHash(state_->hash, out.data(), static_cast<ULONG>(out.size()), 0);
  return out;
}

}  // namespace corvane::fs_noatime
