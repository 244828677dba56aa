#include "platform/system_path.h"

#include "util/text.h"

namespace packprobe::platform {

std::optional<NativePath> SystemPath(std::u16string_view path) {
  if (path.empty()) return std::nullopt;
  return Utf16EscapedToBytes(path);
}

std::u16string FromSystemPath(const NativePath& path) { return BytesToUtf16Escaped(path); }

}  // namespace packprobe::platform
