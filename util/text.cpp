#include "util/text.h"

#include <cstdint>

namespace packprobe {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Decodes one well-formed UTF-8 sequence at utf8[i]; returns its length, or 0
// when the bytes there do not start one.
std::size_t DecodeUtf8(std::string_view utf8, std::size_t i, char32_t* out) {
  const auto byte = [&](std::size_t k) { return static_cast<std::uint8_t>(utf8[k]); };
  const std::uint8_t lead = byte(i);
  if (lead < 0x80) {
    *out = lead;
    return 1;
  }
  std::size_t length = 0;
  char32_t value = 0;
  char32_t minimum = 0;
  if ((lead & 0xE0) == 0xC0) {
    length = 2, value = lead & 0x1F, minimum = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, value = lead & 0x0F, minimum = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, value = lead & 0x07, minimum = 0x10000;
  } else {
    return 0;
  }
  if (utf8.size() - i < length) return 0;
  for (std::size_t k = 1; k < length; ++k) {
    const std::uint8_t next = byte(i + k);
    if ((next & 0xC0) != 0x80) return 0;
    value = value << 6 | (next & 0x3F);
  }
  if (value < minimum || value > 0x10FFFF || IsSurrogate(value)) return 0;
  *out = value;
  return length;
}

void AppendUtf16(std::u16string& out, char32_t c) {
  if (c < 0x10000) {
    out.push_back(static_cast<char16_t>(c));
  } else {
    c -= 0x10000;
    out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
    out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
  }
}

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | c >> 6));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | c >> 12));
    out.push_back(static_cast<char>(0x80 | (c >> 6 & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | c >> 18));
    out.push_back(static_cast<char>(0x80 | (c >> 12 & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c >> 6 & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

// Decodes the code point at utf16[i]; returns the number of code units used
// and sets *paired to false for an unpaired surrogate.
std::size_t DecodeUtf16(std::u16string_view utf16, std::size_t i, char32_t* out, bool* paired) {
  const char16_t unit = utf16[i];
  *paired = true;
  if (IsHighSurrogate(unit) && i + 1 < utf16.size() && IsLowSurrogate(utf16[i + 1])) {
    *out = 0x10000 + ((char32_t{unit} - 0xD800) << 10) + (char32_t{utf16[i + 1]} - 0xDC00);
    return 2;
  }
  if (IsSurrogate(unit)) {
    *paired = false;
    *out = kReplacement;
    return 1;
  }
  *out = unit;
  return 1;
}

// What becomes of what cannot be converted: a byte that is not part of
// well-formed UTF-8, or an unpaired surrogate.
enum class Unconvertible {
  kReplace,  // U+FFFD (a null code unit is kept)
  kFail,     // nothing is returned (a null code unit fails too)
  kEscape,   // a byte b from 0x80 up and the lone surrogate U+DC00 + b stand for each other
};

std::optional<std::u16string> DecodeUtf8Text(std::string_view utf8, Unconvertible rule) {
  std::u16string out;
  out.reserve(utf8.size());
  for (std::size_t i = 0; i < utf8.size();) {
    char32_t c = 0;
    const std::size_t used = DecodeUtf8(utf8, i, &c);
    if (used == 0) {
      if (rule == Unconvertible::kFail) return std::nullopt;
      // Only bytes from 0x80 up can fail to decode.
      AppendUtf16(out, rule == Unconvertible::kEscape
                           ? char32_t{0xDC00} + static_cast<std::uint8_t>(utf8[i])
                           : kReplacement);
      ++i;
      continue;
    }
    AppendUtf16(out, c);
    i += used;
  }
  return out;
}

std::optional<std::string> EncodeUtf8(std::u16string_view utf16, Unconvertible rule) {
  std::string out;
  out.reserve(utf16.size());
  for (std::size_t i = 0; i < utf16.size();) {
    char32_t c = 0;
    bool paired = true;
    const char16_t unit = utf16[i];
    i += DecodeUtf16(utf16, i, &c, &paired);
    if (rule == Unconvertible::kReplace) {
      AppendUtf8(out, c);  // an unpaired surrogate decodes as U+FFFD
      continue;
    }
    if (c == 0) return std::nullopt;
    if (!paired) {
      if (rule == Unconvertible::kFail || unit < 0xDC80 || unit > 0xDCFF) return std::nullopt;
      out.push_back(static_cast<char>(unit - 0xDC00));
      continue;
    }
    AppendUtf8(out, c);
  }
  return out;
}

}  // namespace

std::u16string Utf8ToUtf16(std::string_view utf8) {
  return *DecodeUtf8Text(utf8, Unconvertible::kReplace);
}

std::optional<std::u16string> Utf8ToUtf16Strict(std::string_view utf8) {
  return DecodeUtf8Text(utf8, Unconvertible::kFail);
}

std::string Utf16ToUtf8(std::u16string_view utf16) {
  return *EncodeUtf8(utf16, Unconvertible::kReplace);
}

std::u16string BytesToUtf16Escaped(std::string_view bytes) {
  return *DecodeUtf8Text(bytes, Unconvertible::kEscape);
}

std::optional<std::string> Utf16EscapedToBytes(std::u16string_view text) {
  return EncodeUtf8(text, Unconvertible::kEscape);
}

}  // namespace packprobe
