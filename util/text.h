// Conversions between the program's UTF-16 text and UTF-8 bytes.
//
// The program works on UTF-16 text throughout. On POSIX hosts, arguments,
// file names and printed output are UTF-8, converted here.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace packprobe {

// Decodes UTF-8; every byte that is not part of a well-formed sequence
// (including overlong forms, surrogates and values above U+10FFFF) becomes
// U+FFFD.
std::u16string Utf8ToUtf16(std::string_view utf8);

// Encodes UTF-16 as UTF-8; an unpaired surrogate becomes U+FFFD.
std::string Utf16ToUtf8(std::u16string_view utf16);

// Encodes UTF-16 as UTF-8, or nothing when the text holds an unpaired
// surrogate or a null code unit. For names of files, where a replacement
// character would name some other file.
std::optional<std::string> Utf16ToUtf8Strict(std::u16string_view utf16);

// Decodes UTF-8, or nothing when the bytes are not well-formed UTF-8.
std::optional<std::u16string> Utf8ToUtf16Strict(std::string_view utf8);

}  // namespace packprobe
