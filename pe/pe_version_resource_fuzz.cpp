// Reads the version resource of arbitrary bytes taken as a program file and
// queries both version strings; the same bytes are also walked as a
// VS_VERSIONINFO block directly, which reaches the query walk without
// needing valid program headers first.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "pe/pe_version_resource.h"

namespace {

constexpr std::u16string_view kQueries[] = {
    u"\\StringFileInfo\\040904B0\\Comments",
    u"\\StringFileInfo\\040904B0\\FileVersion",
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Program headers and resource trees fit in far less; a larger input only
  // slows the search down.
  if (size > (1u << 20)) return 0;
  const std::span<const std::uint8_t> bytes(data, size);

  std::vector<std::uint8_t> block;
  if (packprobe::ReadVersionResource(packprobe::MemoryInput(bytes), &block) ==
      packprobe::PeVersionResult::kOk) {
    for (std::u16string_view query : kQueries) {
      (void)packprobe::QueryVersionText(packprobe::ByteReader(block), query);
    }
  }
  for (std::u16string_view query : kQueries) {
    (void)packprobe::QueryVersionText(packprobe::ByteReader(bytes), query);
  }
  return 0;
}
