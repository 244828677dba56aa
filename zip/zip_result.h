// Result codes of the archive reader: 0 for success, a negative code for
// failure.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/host_fault.h"

namespace vekzip {

inline constexpr int ZIP_OK = 0;
// No end record found; reading entry data from the archive failed; the
// decompressor failed to initialise.
inline constexpr int ZIP_ERR_FAILED = -1;
// The entry's data ended before anything more could be produced.
inline constexpr int ZIP_ERR_END_OF_DATA = -2;
// Setting a file position failed, or reading the file size failed.
inline constexpr int ZIP_ERR_SEEK = -3;
// Creating or writing an output file failed.
inline constexpr int ZIP_ERR_CREATE = -4;
// An allocation failed.
inline constexpr int ZIP_ERR_NO_MEMORY = -5;
// The CRC-32 of the extracted data differs from the stored one.
inline constexpr int ZIP_ERR_CRC = -6;
// A signature is missing, the archive spans disks, a local header disagrees
// with its central header, the compression method is neither stored nor
// deflated, or the deflated data is corrupt.
inline constexpr int ZIP_ERR_BAD_FORMAT = -7;
// An invalid argument (including an entry name that would write outside the
// current directory), or creating the directory of a directory entry failed.
inline constexpr int ZIP_ERR_PARAM = -8;
// Opening the archive file failed.
inline constexpr int ZIP_ERR_OPEN = -9;

// What made the last operation of an archive object fail, for callers that
// explain failures. The result codes stay the contract; this only adds why.
//
// The codes are stable machine names: "open-failed", "size-failed",
// "seek-failed", "end-record-missing", "end-record-signature",
// "multi-disk", "entry-count-mismatch", "central-header-signature",
// "local-header-signature", "local-header-mismatch", "unsupported-method",
// "crc-mismatch", "data-ends-early", "deflate-corrupt", "inflate-failed",
// "read-failed", "write-failed", "create-failed", "directory-failed",
// "no-memory", "unsafe-name", "invalid-argument".
struct ZIP_Failure {
  int result = ZIP_OK;         // the ZIP_ERR_* code that was returned
  std::string_view code;       // stable machine name (above); empty after success
  std::string detail;          // one English sentence, no trailing period
  std::optional<std::uint64_t> offset;  // the file offset concerned, when known
  // The host's fault where one caused the failure: a read, write, create or
  // open the system refused, or an allocation that failed (kNoMemory).
  // kNone when the archive's bytes are at fault, or the input named
  // something that is no file.
  packprobe::platform::HostFault hostFault = packprobe::platform::HostFault::kNone;
};

}  // namespace vekzip
