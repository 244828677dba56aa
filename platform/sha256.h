// SHA-256 of byte streams and of whole files, over the system's digest
// service (platform/digest.h).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/digest.h"

namespace packprobe::platform {

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

// Why a file could not be hashed.
enum class FileHashFault { kNone, kOpen, kRead, kDigest };

struct FileHash {
  FileHashFault fault = FileHashFault::kNone;
  std::uint64_t size = 0;    // the bytes read (the whole file when no fault)
  Sha256Digest digest{};     // valid when no fault
};

// Reads the regular file at path from start to end in large pieces and
// hashes it. The size is what was read, so size and digest describe the
// same bytes even if the file grows meanwhile.
FileHash HashFile(std::u16string_view path);

}  // namespace packprobe::platform
