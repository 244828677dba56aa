#include "platform/system_path.h"

namespace packprobe::platform {

std::optional<NativePath> SystemPath(std::u16string_view path) {
  if (path.empty() || path.find(u'\0') != std::u16string_view::npos) return std::nullopt;
  return ToWide(path);
}

std::u16string FromSystemPath(const NativePath& path) { return FromWide(path); }

}  // namespace packprobe::platform
