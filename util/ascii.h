// Letter case of ASCII text: names in archives, version blocks and encoding
// declarations compare with A-Z and a-z taken as equal and nothing else
// folded, whatever the locale (whose own rules, such as a dotless i, must
// not decide whether a name matches).
#pragma once

namespace packprobe {

// c with A-Z turned into a-z; every other value unchanged. Char is any
// character type: an 8-bit byte of an archive name or a UTF-16 code unit.
template <typename Char>
constexpr Char AsciiToLower(Char c) {
  return c >= Char{'A'} && c <= Char{'Z'} ? static_cast<Char>(c - Char{'A'} + Char{'a'}) : c;
}

template <typename Char>
constexpr bool AsciiEqualIgnoringCase(Char a, Char b) {
  return AsciiToLower(a) == AsciiToLower(b);
}

}  // namespace packprobe
