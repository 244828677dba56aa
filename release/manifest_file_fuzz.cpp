// Reads arbitrary bytes as a release manifest: entries or an error, never a
// crash; entries written again read back the same.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "release/manifest_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > (1 << 20)) return 0;
  const packprobe::release::ManifestRead read =
      packprobe::release::ParseManifest(std::string_view(reinterpret_cast<const char*>(data), size));
  if (!read.error.empty()) return 0;
  const packprobe::release::ManifestRead again =
      packprobe::release::ParseManifest(packprobe::release::ManifestText(read.entries));
  if (!again.error.empty() || !(again.entries == read.entries)) std::abort();
  return 0;
}
