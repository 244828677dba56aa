// The version resource of a file on disk, read through the platform's
// positional file reads (for the version-information service only).
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
