// Paths as the system takes them, converted in one place.
//
// On Windows a path is the UTF-16 text the wide API takes (wchar_t is 16-bit
// there). On POSIX a path is bytes: UTF-8 for text that is, and any other
// byte carried through the program's UTF-16 as a lone surrogate (see
// BytesToUtf16Escaped), so that a file name that is not UTF-8 still names
// its file. Either way a path is taken as given: no separator is rewritten,
// nothing is shortened.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace packprobe::platform {

#ifdef _WIN32
using NativePath = std::wstring;
#else
using NativePath = std::string;
#endif

// The path as the system takes it. Nothing for an empty path, one holding a
// null code unit (which the system would cut short, naming some other
// file), or on POSIX a lone surrogate that stands for no byte.
std::optional<NativePath> SystemPath(std::u16string_view path);

// A path that the system gave, as the program's text; the inverse of
// SystemPath.
std::u16string FromSystemPath(const NativePath& path);

#ifdef _WIN32
// The bridge between the program's UTF-16 text and the API's wide text:
// the same code units in a distinct type.
inline std::wstring ToWide(std::u16string_view text) { return std::wstring(text.begin(), text.end()); }
inline std::u16string FromWide(std::wstring_view text) {
  return std::u16string(text.begin(), text.end());
}
#endif

}  // namespace packprobe::platform
