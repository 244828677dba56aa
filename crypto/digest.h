// Incremental message digests from the system's own library (libcrypto on
// POSIX, BCrypt on Windows), so that the CPU's SHA instructions are used
// where present and no digest code is carried here. These are the digests
// that signed program files use: SHA-1, SHA-256, SHA-384 and SHA-512.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace packprobe::crypto {

enum class DigestAlgorithm { kSha1, kSha256, kSha384, kSha512 };

inline constexpr std::size_t kMaxDigestSize = 64;

// What is known of each algorithm, one row each.
struct DigestAlgorithmInfo {
  DigestAlgorithm algorithm;
  std::string_view name;  // "sha1", "sha256", "sha384", "sha512"
  std::string_view oid;   // its object identifier in dotted form
  std::size_t size;       // bytes of the digest
};

inline constexpr DigestAlgorithmInfo kDigestAlgorithms[] = {
    {DigestAlgorithm::kSha1, "sha1", "1.3.14.3.2.26", 20},
    {DigestAlgorithm::kSha256, "sha256", "2.16.840.1.101.3.4.2.1", 32},
    {DigestAlgorithm::kSha384, "sha384", "2.16.840.1.101.3.4.2.2", 48},
    {DigestAlgorithm::kSha512, "sha512", "2.16.840.1.101.3.4.2.3", 64},
};

const DigestAlgorithmInfo& AlgorithmInfo(DigestAlgorithm algorithm);

// The algorithm an object identifier (dotted form) names, or nothing when it
// names none of the above.
std::optional<DigestAlgorithm> DigestAlgorithmFromOid(std::string_view oid);

// A finished digest: its algorithm and its AlgorithmInfo(algorithm).size bytes.
struct DigestValue {
  DigestAlgorithm algorithm = DigestAlgorithm::kSha256;
  std::array<std::uint8_t, kMaxDigestSize> storage{};
  std::size_t size = 0;

  std::span<const std::uint8_t> bytes() const { return {storage.data(), size}; }
  friend bool operator==(const DigestValue&, const DigestValue&) = default;
};

// One digest being computed. Construction cannot fail; a digest whose
// system context could not be had (no memory) reports it from Finish.
class Digest {
 public:
  explicit Digest(DigestAlgorithm algorithm);
  ~Digest();
  Digest(Digest&& other) noexcept;
  Digest& operator=(Digest&&) = delete;
  Digest(const Digest&) = delete;
  Digest& operator=(const Digest&) = delete;

  DigestAlgorithm algorithm() const { return algorithm_; }

  void Update(const void* data, std::size_t size);
  // The digest of everything passed to Update; nothing when the system
  // failed at any point. The object is spent afterwards.
  std::optional<DigestValue> Finish();

 private:
  struct State;
  DigestAlgorithm algorithm_;
  std::unique_ptr<State> state_;
};

// The digest of one run of bytes; nothing when the system failed.
std::optional<DigestValue> DigestOf(DigestAlgorithm algorithm, std::span<const std::uint8_t> bytes);

// Bytes as lowercase hexadecimal digits, two a byte.
std::string HexDigits(std::span<const std::uint8_t> bytes);

}  // namespace packprobe::crypto
