// Two-byte Shift_JIS characters, decoded as Windows code page 932.
//
// The decoding is the same on every machine: it does not follow the process
// locale, so a document reads the same whatever locale the user runs under.
#pragma once

#include <cstdint>
#include <optional>

namespace packprobe::platform {

// The UTF-16 code unit of the two-byte sequence lead, trail; nothing when
// the two bytes are not one character of code page 932 or decode to a
// character outside the Basic Multilingual Plane.
std::optional<char16_t> DecodeShiftJisPair(std::uint8_t lead, std::uint8_t trail);

}  // namespace packprobe::platform
