#include "scan/hash.h"

#include "component/component_info.h"
#include "platform/file.h"
#include "platform/sha256.h"

namespace packprobe::scan {

void AddFileFacts(const Target& target, bool hash, ScanRecord& record) {
  record.relativePath = target.relative;
  // Nothing at the path, or a folder that could not be searched: no file.
  if (!target.searchCode.empty() || record.status == ComponentInfo::kStatusMissing) return;
  const std::u16string path = PathToUtf16(target.native);
  if (!hash) {
    platform::File file;
    std::uint64_t size = 0;
    if (file.Open(path, platform::File::Access::kReadShared) && file.Size(&size)) record.size = size;
    return;
  }
  const platform::FileHash facts = platform::HashFile(path);
  if (facts.fault == platform::FileHashFault::kNone) {
    record.size = facts.size;
    record.sha256 = platform::Sha256Hex(facts.digest);
    return;
  }
  // A component that failed its check keeps that failure; the digest is
  // only missing from it.
  if (!record.inspected) return;
  const char* what = facts.fault == platform::FileHashFault::kOpen   ? "could not be opened"
                     : facts.fault == platform::FileHashFault::kRead ? "could not be read"
                                                                     : "the digest failed";
  record.outcome = Outcome::kSystemError;
  record.reason = Reason{"hash-failed", "hash",
                         std::string("the file could not be hashed: ") + what, {}, 0};
}

}  // namespace packprobe::scan
