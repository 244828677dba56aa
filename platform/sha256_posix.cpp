#include <openssl/evp.h>

#include "platform/sha256.h"

namespace packprobe::platform {

struct Sha256::State {
  EVP_MD_CTX* context = nullptr;
  bool failed = false;
};

Sha256::Sha256() : state_(std::make_unique<State>()) {
  state_->context = EVP_MD_CTX_new();
  if (state_->context == nullptr || EVP_DigestInit_ex(state_->context, EVP_sha256(), nullptr) != 1) {
    state_->failed = true;
  }
}

Sha256::~Sha256() {
  if (state_->context != nullptr) EVP_MD_CTX_free(state_->context);
}

void Sha256::Update(const void* data, std::size_t size) {
  if (state_->failed || size == 0) return;
  if (EVP_DigestUpdate(state_->context, data, size) != 1) state_->failed = true;
}

std::optional<Sha256Digest> Sha256::Finish() {
  if (state_->failed) return std::nullopt;
  Sha256Digest digest{};
  unsigned int length = 0;
  state_->failed = true;  // spent, whatever happens next
  if (EVP_DigestFinal_ex(state_->context, digest.data(), &length) != 1 || length != digest.size()) {
    return std::nullopt;
  }
  return digest;
}

}  // namespace packprobe::platform
