#include <windows.h>
#include <bcrypt.h>

#include <algorithm>
#include <limits>
#include <new>

#include "crypto/digest.h"

namespace packprobe::crypto {

struct Digest::State {
  BCRYPT_ALG_HANDLE provider = nullptr;
  BCRYPT_HASH_HANDLE hash = nullptr;
  bool failed = false;
  ~State() {
    if (hash != nullptr) BCryptDestroyHash(hash);
    if (provider != nullptr) BCryptCloseAlgorithmProvider(provider, 0);
  }
};

namespace {

LPCWSTR ProviderOf(DigestAlgorithm algorithm) {
  switch (algorithm) {
    case DigestAlgorithm::kSha1: return BCRYPT_SHA1_ALGORITHM;
    case DigestAlgorithm::kSha256: return BCRYPT_SHA256_ALGORITHM;
    case DigestAlgorithm::kSha384: return BCRYPT_SHA384_ALGORITHM;
    case DigestAlgorithm::kSha512: return BCRYPT_SHA512_ALGORITHM;
  }
  return BCRYPT_SHA256_ALGORITHM;
}

}  // namespace

Digest::Digest(DigestAlgorithm algorithm)
    : algorithm_(algorithm), state_(new (std::nothrow) State) {
  if (state_ == nullptr) return;
  // Without a hash object buffer BCrypt allocates and frees one itself
  // (Windows 7 and later).
  if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&state_->provider, ProviderOf(algorithm),
                                                  nullptr, 0)) ||
      !BCRYPT_SUCCESS(BCryptCreateHash(state_->provider, &state_->hash, nullptr, 0, nullptr, 0, 0))) {
    state_->failed = true;
  }
}

Digest::~Digest() = default;
Digest::Digest(Digest&& other) noexcept = default;

void Digest::Update(const void* data, std::size_t size) {
  if (state_ == nullptr) return;
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

std::optional<DigestValue> Digest::Finish() {
  if (state_ == nullptr || state_->failed) return std::nullopt;
  state_->failed = true;  // spent, whatever happens next
  DigestValue value;
  value.algorithm = algorithm_;
  value.size = AlgorithmInfo(algorithm_).size;
  if (!BCRYPT_SUCCESS(BCryptFinishHash(state_->hash, value.storage.data(),
                                       static_cast<ULONG>(value.size), 0))) {
    return std::nullopt;
  }
  return value;
}

}  // namespace packprobe::crypto
