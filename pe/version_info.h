// The version-information service: the version resource of a program file,
// read as the Windows version API reads it.
//
// Three steps, each with the meaning of its Windows call: the size of the
// file's version information (GetFileVersionInfoSizeW), the information read
// into a zero-filled block of twice that size (GetFileVersionInfoW), and the
// terminated text stored under a query path (VerQueryValueW). On Windows the
// real calls serve, but only for a file whose version resource the portable
// reader of pe_version_resource.h finds well-formed (the real calls trust the
// sizes in the file); elsewhere that reader serves alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/host_fault.h"

namespace packprobe::platform {

// True where the service asks the system's own version API (Windows);
// false where the portable reader serves alone.
extern const bool kSystemVersionApi;

// Why the version information of a file could not be had.
enum class VersionInfoFault {
  kNone,
  kNotAFile,           // nothing that opens as a regular file at the path
  kNoVersionResource,  // a well-formed program file without a version resource
  kMalformed,          // not a program file, or its resource tree is broken
  kHost,               // the host failed (memory, I/O, open files): see host
};

// A failure of the service as a value: what failed, and with kHost the
// host's fault that caused it.
struct VersionInfoFailure {
  VersionInfoFault fault = VersionInfoFault::kNone;
  HostFault host = HostFault::kNone;
};

// The size in bytes of the version information of the file at path; 0 when
// it has none or cannot be read (*fault, when given, says why).
std::uint32_t GetVersionInfoSize(const std::u16string& path, VersionInfoFailure* fault = nullptr);

// A block of version information, owned and freed with the object.
class VersionInfoBlock {
 public:
  // Reads the version information of the file at path, `size` bytes as
  // GetVersionInfoSize reported them, into a zero-filled block of twice that
  // size. Nothing when size is 0, the block cannot be allocated, or the
  // information cannot be read (*fault, when given, says why).
  static std::optional<VersionInfoBlock> Read(const std::u16string& path, std::uint32_t size,
                                              VersionInfoFailure* fault = nullptr);

  // The text stored under queryPath (e.g. "\StringFileInfo\040904B0\Comments";
  // keys compare without regard to ASCII case): its characters up to the
  // first null, never past the block; a declared length of 0 is the empty
  // text. Nothing when the block holds no such value.
  std::optional<std::u16string> QueryText(std::u16string_view queryPath) const;

  // The block's bytes: twice the size that was read.
  std::size_t capacity() const { return capacity_; }

 private:
  VersionInfoBlock(std::unique_ptr<std::uint8_t[]> bytes, std::size_t size, std::size_t capacity)
      : bytes_(std::move(bytes)), size_(size), capacity_(capacity) {}

  std::unique_ptr<std::uint8_t[]> bytes_;
  std::size_t size_ = 0;      // the bytes read into the block
  std::size_t capacity_ = 0;  // the bytes allocated, all zero past size_
};

}  // namespace packprobe::platform
