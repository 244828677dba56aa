// The version resource of a file on disk, read through the platform's
// positional file reads (for the version-information service), and the
// positional input over an open file that the portable readers take.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "pe/pe_version_resource.h"
#include "pe/version_info.h"
#include "platform/file.h"

namespace packprobe::platform {

// Positional reads from an open regular file, through the platform's file
// service. The file must outlive the input; reads leave its position alone.
class FileInput final : public PositionalInput {
 public:
  explicit FileInput(File& file) : file_(file) {}

  // Takes the file's size; false when it cannot be had.
  bool Start() { return file_.Size(&size_); }
  std::uint64_t Size() const override { return size_; }
  // The host's fault behind the last failed open or read.
  HostFault fault() const { return file_.fault(); }

  // False also when the file ends before out is filled (it shrank).
  bool ReadAt(std::uint64_t offset, std::span<std::uint8_t> out) const override;

 private:
  File& file_;
  std::uint64_t size_ = 0;
};

// Reads the version data of the program file at path into *data. *fault
// says why when it fails.
bool ReadFileVersionData(const std::u16string& path, std::vector<std::uint8_t>* data,
                         VersionInfoFailure* fault);

// As ReadFileVersionData, from a file open for reading (read by position;
// nothing else of the file changes).
bool ReadOpenFileVersionData(File& file, std::vector<std::uint8_t>* data,
                             VersionInfoFailure* fault);

// What a result of the portable reader means to the version-information
// service: true for kOk; otherwise *fault says why (a read error is the
// host's: readFault, or an I/O fault when the reader did not say).
bool TranslateVersionResult(PeVersionResult result, VersionInfoFailure* fault,
                            HostFault readFault = HostFault::kNone);

// A zero-filled block of capacity bytes for version information, or null
// (*fault then says the host ran out of memory) when it cannot be allocated.
std::unique_ptr<std::uint8_t[]> AllocateVersionBlock(std::size_t capacity,
                                                     VersionInfoFailure* fault);

}  // namespace packprobe::platform
