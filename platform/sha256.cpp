#include "platform/sha256.h"

#include <algorithm>
#include <vector>

#include "platform/file.h"

namespace packprobe::platform {

std::optional<Sha256Digest> Sha256::Finish() {
  const std::optional<DigestValue> value = digest_.Finish();
  if (!value) return std::nullopt;
  Sha256Digest digest{};
  std::copy_n(value->storage.begin(), digest.size(), digest.begin());
  return digest;
}

std::string Sha256Hex(const Sha256Digest& digest) { return HexDigits(digest); }

FileHash HashFile(std::u16string_view path) {
  FileHash result;
  File file;
  if (!file.Open(path, File::Access::kReadShared)) {
    result.fault = FileHashFault::kOpen;
    return result;
  }
  // One megabyte a read: few system calls for a 100 MB setup program, and
  // small enough to stay in the cache while the digest runs over it.
  constexpr std::size_t kPiece = 1 << 20;
  std::vector<unsigned char> buffer(kPiece);
  Sha256 digest;
  for (;;) {
    std::size_t got = 0;
    if (!file.ReadUpTo(result.size, buffer.data(), buffer.size(), &got)) {
      result.fault = FileHashFault::kRead;
      return result;
    }
    if (got == 0) break;
    digest.Update(buffer.data(), got);
    result.size += got;
  }
  const std::optional<Sha256Digest> value = digest.Finish();
  if (!value) {
    result.fault = FileHashFault::kDigest;
    return result;
  }
  result.digest = *value;
  return result;
}

}  // namespace packprobe::platform
