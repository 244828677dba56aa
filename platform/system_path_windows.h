// Paths as the Windows API takes them (Windows builds only).
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace packprobe::platform {

// The path as the wide string the API takes (wchar_t is 16-bit there).
// Nothing for an empty path or one holding a null code unit, which the API
// would cut short and so name some other file.
inline std::optional<std::wstring> SystemPath(std::u16string_view path) {
  if (path.empty() || path.find(u'\0') != std::u16string_view::npos) return std::nullopt;
  return std::wstring(path.begin(), path.end());
}

}  // namespace packprobe::platform
