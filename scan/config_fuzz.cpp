// Reads arbitrary bytes as packprobe-scan.toml: every input is a
// configuration or a usage error naming the file, never a crash.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "scan/command_line.h"
#include "scan/config.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > (1 << 16)) return 0;
  packprobe::scan::ConfigValues values;
  const std::string error = packprobe::scan::ParseConfig(
      std::string_view(reinterpret_cast<const char*>(data), size), "packprobe-scan.toml", "/repo",
      packprobe::scan::ParseBound, values);
  if (!error.empty() && error.rfind("packprobe-scan.toml", 0) != 0) std::abort();
  return 0;
}
