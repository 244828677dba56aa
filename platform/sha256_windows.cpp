#include <windows.h>
#include <bcrypt.h>

#include <algorithm>
#include <limits>

#include "platform/sha256.h"

namespace packprobe::platform {

struct Sha256::State {
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  BCRYPT_HASH_HANDLE hash = nullptr;
  bool failed = false;
};

Sha256::Sha256() : state_(std::make_unique<State>()) {
  // Without a hash object buffer BCrypt allocates and frees one itself
  // (Windows 7 and later).
  if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&state_->algorithm, BCRYPT_SHA256_ALGORITHM,
                                                  nullptr, 0)) ||
      !BCRYPT_SUCCESS(BCryptCreateHash(state_->algorithm, &state_->hash, nullptr, 0, nullptr, 0, 0))) {
    state_->failed = true;
  }
}

Sha256::~Sha256() {
  if (state_->hash != nullptr) BCryptDestroyHash(state_->hash);
  if (state_->algorithm != nullptr) BCryptCloseAlgorithmProvider(state_->algorithm, 0);
}

void Sha256::Update(const void* data, std::size_t size) {
  auto* bytes = static_cast<PUCHAR>(const_cast<void*>(data));
  // BCryptHashData takes at most a ULONG of bytes a call.
  while (!state_->failed && size > 0) {
    const ULONG piece =
        static_cast<ULONG>(std::min<std::size_t>(size, std::numeric_limits<ULONG>::max()));
    if (!BCRYPT_SUCCESS(BCryptHashData(state_->hash, bytes, piece, 0))) state_->failed = true;
    bytes += piece;
    size -= piece;
  }
}

std::optional<Sha256Digest> Sha256::Finish() {
  if (state_->failed) return std::nullopt;
  Sha256Digest digest{};
  state_->failed = true;  // spent, whatever happens next
  if (!BCRYPT_SUCCESS(BCryptFinishHash(state_->hash, digest.data(), static_cast<ULONG>(digest.size()), 0))) {
    return std::nullopt;
  }
  return digest;
}

}  // namespace packprobe::platform
