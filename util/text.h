// Conversions between the program's UTF-16 text and UTF-8 bytes.
//
// The program works on UTF-16 text throughout. On POSIX hosts, arguments,
// file names and printed output are UTF-8, converted here.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace packprobe {

// True for a code unit in the surrogate range (U+D800 to U+DFFF), high or low.
constexpr bool IsSurrogate(char32_t unit) { return unit >= 0xD800 && unit <= 0xDFFF; }
constexpr bool IsHighSurrogate(char32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
constexpr bool IsLowSurrogate(char32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

// Decodes UTF-8; every byte that is not part of a well-formed sequence
// (including overlong forms, surrogates and values above U+10FFFF) becomes
// U+FFFD.
std::u16string Utf8ToUtf16(std::string_view utf8);

// Encodes UTF-16 as UTF-8; an unpaired surrogate becomes U+FFFD.
std::string Utf16ToUtf8(std::u16string_view utf16);

// Decodes UTF-8, or nothing when the bytes are not well-formed UTF-8.
std::optional<std::u16string> Utf8ToUtf16Strict(std::string_view utf8);

// Byte strings that need not be UTF-8 (POSIX file names, arguments,
// environment values) carried losslessly through UTF-16: every byte that is
// not part of a well-formed UTF-8 sequence becomes the lone surrogate
// U+DC80 + (byte - 0x80), and back. Printing such text (Utf16ToUtf8) shows
// U+FFFD for those bytes.
std::u16string BytesToUtf16Escaped(std::string_view bytes);

// The bytes back from BytesToUtf16Escaped; nothing when the text holds a null
// code unit or a lone surrogate that stands for no byte.
std::optional<std::string> Utf16EscapedToBytes(std::u16string_view text);

}  // namespace packprobe
