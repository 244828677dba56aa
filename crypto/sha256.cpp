#include "crypto/sha256.h"

#include <algorithm>
#include <vector>


namespace packprobe::crypto {

std::optional<Sha256Digest> Sha256::Finish() {
  const std::optional<DigestValue> value = digest_.Finish();
  if (!value) return std::nullopt;
  Sha256Digest digest{};
  std::copy_n(value->storage.begin(), digest.size(), digest.begin());
  return digest;
}

std::string Sha256Hex(const Sha256Digest& digest) { return HexDigits(digest); }

}  // namespace packprobe::crypto
