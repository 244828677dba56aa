#include <openssl/evp.h>

#include <new>

#include "crypto/digest.h"

namespace packprobe::crypto {

struct Digest::State {
  EVP_MD_CTX* context = nullptr;
  bool failed = false;
  ~State() { EVP_MD_CTX_free(context); }
};

namespace {

const EVP_MD* MethodOf(DigestAlgorithm algorithm) {
  switch (algorithm) {
    case DigestAlgorithm::kSha1: return EVP_sha1();
    case DigestAlgorithm::kSha256: return EVP_sha256();
    case DigestAlgorithm::kSha384: return EVP_sha384();
    case DigestAlgorithm::kSha512: return EVP_sha512();
  }
  return nullptr;
}

}  // namespace

Digest::Digest(DigestAlgorithm algorithm)
    : algorithm_(algorithm), state_(new (std::nothrow) State) {
  if (state_ == nullptr) return;
  state_->context = EVP_MD_CTX_new();
  if (state_->context == nullptr ||
      EVP_DigestInit_ex(state_->context, MethodOf(algorithm), nullptr) != 1) {
    state_->failed = true;
  }
}

Digest::~Digest() = default;
Digest::Digest(Digest&& other) noexcept = default;

void Digest::Update(const void* data, std::size_t size) {
  if (state_ == nullptr || state_->failed || size == 0) return;
  if (EVP_DigestUpdate(state_->context, data, size) != 1) state_->failed = true;
}

std::optional<DigestValue> Digest::Finish() {
  if (state_ == nullptr || state_->failed) return std::nullopt;
  state_->failed = true;  // spent, whatever happens next
  DigestValue value;
  value.algorithm = algorithm_;
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(state_->context, value.storage.data(), &length) != 1 ||
      length != AlgorithmInfo(algorithm_).size) {
    return std::nullopt;
  }
  value.size = length;
  return value;
}

}  // namespace packprobe::crypto
