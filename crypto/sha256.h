// SHA-256 of byte streams and of whole files, over the system's digest
// service (crypto/digest.h).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "crypto/digest.h"

namespace packprobe::crypto {

using Sha256Digest = std::array<std::uint8_t, 32>;

// One digest being computed. Construction cannot fail; a digest whose
// system context could not be had (no memory) reports it from Finish.
class Sha256 {
 public:
  Sha256() = default;
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  void Update(const void* data, std::size_t size) { digest_.Update(data, size); }
  // The digest of everything passed to Update; nothing when the system
  // failed at any point. The object is spent afterwards.
  std::optional<Sha256Digest> Finish();

 private:
  Digest digest_{DigestAlgorithm::kSha256};
};

// The digest as 64 lowercase hexadecimal digits.
std::string Sha256Hex(const Sha256Digest& digest);

}  // namespace packprobe::crypto
