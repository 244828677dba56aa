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

namespace packprobe::platform {

// Reads the version data of the program file at path into *data. *fault
// says why when it fails.
bool ReadFileVersionData(const std::u16string& path, std::vector<std::uint8_t>* data,
                         VersionInfoFailure* fault);

// A zero-filled block of capacity bytes for version information, or null
// (*fault then says the host ran out of memory) when it cannot be allocated.
std::unique_ptr<std::uint8_t[]> AllocateVersionBlock(std::size_t capacity,
                                                     VersionInfoFailure* fault);

}  // namespace packprobe::platform
