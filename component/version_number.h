// Version numbers: a dotted version text held as one integer.
//
// "3.0.3.0" is 3030: the dots are dropped and the rest is read as a decimal
// number. The integer keeps no trace of where the dots stood, so 30.3.0 is
// 3030 as well, and versions compare as plain integers.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace packprobe {

using VersionNumber = std::int32_t;

// The number of characters that a version text may hold once its dots are
// dropped.
inline constexpr std::size_t kMaxVersionDigits = 7;

// The value of an empty version text.
inline constexpr VersionNumber kNoVersion = -1;

// The text without its dots, characters in their order.
std::u16string DropDots(std::u16string_view text);

// The number of characters of text that are not ".".
std::size_t CountVersionDigits(std::u16string_view text);

// Drops every "." and reads the rest like _wtoi: leading white space, an
// optional sign, then decimal digits up to the first other character (none
// gives 0). An empty result (empty text, or dots only) gives -1. Only the
// first seven characters that are not dots are read; callers that must not
// lose any check CountVersionDigits first.
VersionNumber ParseVersionNumber(std::u16string_view text);

// Reads a text that holds no dots like _wtoi (see above); empty gives 0.
VersionNumber ReadDecimal(std::u16string_view digits);

// The display form: the first four characters of the decimal form separated
// by dots ("3.0.3.0" for 3030, "1.2.3.4" for 1234567), or each character
// followed by a dot when there are fewer than four ("3.0." for 30). A value
// whose decimal form needs more than seven characters shows "0.0.0.0".
std::u16string FormatVersionNumber(VersionNumber value);

}  // namespace packprobe
