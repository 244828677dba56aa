// The version resource of a file on disk, read through the platform's
// positional file reads (for the version-information service only).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "pe/pe_version_resource.h"
#include "pe/version_info.h"

namespace packprobe::platform {

// Reads the version data of the program file at path into *data. *fault
// says why when it fails.
bool ReadFileVersionData(const std::u16string& path, std::vector<std::uint8_t>* data,
                         VersionInfoFault* fault);

}  // namespace packprobe::platform
