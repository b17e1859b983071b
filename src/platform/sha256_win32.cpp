#include <windows.h>
#include <bcrypt.h>

#include <atomic>
#include <mutex>

#include "platform/sha256.h"

namespace corvane::platform {

namespace {

// One provider for the whole process, opened on first use and kept: opening
// one costs far more than the digest of a small file, and the copy finder
// hashes on every processor at once. Each digest has a hash object of its
// own; only the algorithm handle is shared. A failed open is tried again
// by the next digest.
BCRYPT_ALG_HANDLE shared_provider() {
  static std::atomic<BCRYPT_ALG_HANDLE> provider{nullptr};
  static std::mutex opening;
  BCRYPT_ALG_HANDLE handle = provider.load(std::memory_order_acquire);
  if (handle != nullptr) return handle;
  std::lock_guard<std::mutex> lock(opening);
  handle = provider.load(std::memory_order_acquire);
  if (handle != nullptr) return handle;
  if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&handle, BCRYPT_SHA256_ALGORITHM, nullptr, 0))) return nullptr;
  provider.store(handle, std::memory_order_release);
  return handle;
}

}  // namespace

struct Sha256::State {
  BCRYPT_HASH_HANDLE hash = nullptr;
  bool ok = false;  // every provider call so far succeeded
};

Sha256::Sha256() : state_(std::make_unique<State>()) {
  State& s = *state_;
  BCRYPT_ALG_HANDLE algorithm = sha256_step_allowed(Sha256Step::create) ? shared_provider() : nullptr;
  if (algorithm == nullptr) return;
  if (!sha256_step_allowed(Sha256Step::init) ||
      !BCRYPT_SUCCESS(BCryptCreateHash(algorithm, &s.hash, nullptr, 0, nullptr, 0, 0))) {
    s.hash = nullptr;
    return;
  }
  s.ok = true;
}

Sha256::~Sha256() {
  if (state_->hash != nullptr) BCryptDestroyHash(state_->hash);
}

void Sha256::update(const void* data, std::size_t size) {
  const auto* bytes = static_cast<const UCHAR*>(data);
  State& s = *state_;
  s.ok = s.ok && sha256_step_allowed(Sha256Step::update);
  while (s.ok && size > 0) {
    ULONG chunk = size > 0x40000000 ? 0x40000000 : static_cast<ULONG>(size);
    s.ok = BCRYPT_SUCCESS(BCryptHashData(s.hash, const_cast<PUCHAR>(bytes), chunk, 0));
    bytes += chunk;
    size -= chunk;
  }
}

Result<std::array<std::uint8_t, 32>> Sha256::finish() {
  std::array<std::uint8_t, 32> out{};
  State& s = *state_;
  bool ok = s.ok && sha256_step_allowed(Sha256Step::finish) &&
            BCRYPT_SUCCESS(BCryptFinishHash(s.hash, out.data(), static_cast<ULONG>(out.size()), 0));
  s.ok = false;  // the hash object is spent either way
  if (!ok) return make_error("SHA-256 provider failed");
  return out;
}

}  // namespace corvane::platform
