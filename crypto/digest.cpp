#include "crypto/digest.h"

namespace packprobe::crypto {

const DigestAlgorithmInfo& AlgorithmInfo(DigestAlgorithm algorithm) {
  for (const DigestAlgorithmInfo& info : kDigestAlgorithms) {
    if (info.algorithm == algorithm) return info;
  }
  return kDigestAlgorithms[0];  // unreachable: every enumerator has a row
}

std::optional<DigestAlgorithm> DigestAlgorithmFromOid(std::string_view oid) {
  for (const DigestAlgorithmInfo& info : kDigestAlgorithms) {
    if (info.oid == oid) return info.algorithm;
  }
  return std::nullopt;
}

std::optional<DigestValue> DigestOf(DigestAlgorithm algorithm, std::span<const std::uint8_t> bytes) {
  Digest digest(algorithm);
  digest.Update(bytes.data(), bytes.size());
  return digest.Finish();
}

std::string HexDigits(std::span<const std::uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(bytes.size() * 2);
  for (const std::uint8_t byte : bytes) {
    text += kDigits[byte >> 4];
    text += kDigits[byte & 0x0F];
  }
  return text;
}

}  // namespace packprobe::crypto
