#include "scan/targets.h"
#include "util/text.h"

namespace packprobe::scan {

// POSIX paths are bytes, taken to be UTF-8.
std::string PathToUtf8(const std::filesystem::path& path) { return path.string(); }

std::filesystem::path PathFromUtf8(const std::string& utf8) { return std::filesystem::path(utf8); }

std::u16string PathToUtf16(const std::filesystem::path& path) { return Utf8ToUtf16(path.string()); }

}  // namespace packprobe::scan
