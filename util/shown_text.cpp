#include "util/shown_text.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>

namespace packprobe {
namespace {

constexpr char32_t kNotUtf8 = 0xFFFFFFFF;

// Decodes the code point at text[at], advancing at past it; kNotUtf8 (and
// one byte consumed) for a byte that starts no well-formed sequence:
// overlong forms, surrogates and values above U+10FFFF included.
char32_t Decode(std::string_view text, std::size_t& at) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(at);
  if (lead < 0x80) {
    ++at;
    return lead;
  }
  std::size_t length;
  char32_t value;
  char32_t minimum;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, value = lead & 0x1F, minimum = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, value = lead & 0x0F, minimum = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, value = lead & 0x07, minimum = 0x10000;
  } else {
    ++at;
    return kNotUtf8;
  }
  if (length > text.size() - at) {
    ++at;
    return kNotUtf8;
  }
  for (std::size_t i = 1; i < length; ++i) {
    const unsigned char next = byte(at + i);
    if ((next & 0xC0) != 0x80) {
      ++at;
      return kNotUtf8;
    }
    value = value << 6 | (next & 0x3F);
  }
  if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
    ++at;
    return kNotUtf8;
  }
  at += length;
  return value;
}

// Characters that no report shows as they are: C0 and C1 controls and DEL
// (they break lines and drive terminals), the line and paragraph
// separators, the bidirectional controls (they reorder what a terminal
// shows), and U+FFFE/U+FFFF (XML 1.0 cannot hold them).
bool IsSpecial(char32_t c) {
  return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x2028 || c == 0x2029 ||
         (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069) || c == 0x200E ||
         c == 0x200F || c == 0x061C || c == 0xFFFE || c == 0xFFFF;
}

std::string Hex(const char* format, unsigned value) {
  char text[16];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

// Appends the escape of one special character or stray byte.
void AppendEscape(std::string& out, char32_t c) {
  switch (c) {
    case U'\n': out += "\\n"; return;
    case U'\t': out += "\\t"; return;
    case U'\r': out += "\\r"; return;
    default: break;
  }
  out += c < 0x80 ? Hex("\\x%02x", static_cast<unsigned>(c)) : Hex("\\u%04X", static_cast<unsigned>(c));
}

}  // namespace

bool IsPlainPath(std::string_view raw) {
  if (!raw.empty() && raw.front() == '"') return false;
  for (std::size_t at = 0; at < raw.size();) {
    const char32_t c = Decode(raw, at);
    if (c == kNotUtf8 || IsSpecial(c)) return false;
  }
  return true;
}

std::string ShownPath(std::string_view raw) {
  if (IsPlainPath(raw)) return std::string(raw);
  std::string out = "\"";
  for (std::size_t at = 0; at < raw.size();) {
    const std::size_t start = at;
    const char32_t c = Decode(raw, at);
    if (c == kNotUtf8) {
      out += Hex("\\x%02x", static_cast<unsigned char>(raw[start]));
    } else if (c == U'\\' || c == U'"') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (IsSpecial(c)) {
      AppendEscape(out, c);
    } else {
      out.append(raw.substr(start, at - start));
    }
  }
  return out + "\"";
}

std::string EscapeControls(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t start = at;
    const char32_t c = Decode(text, at);
    if (c == kNotUtf8) {
      out += Hex("\\x%02x", static_cast<unsigned char>(text[start]));
    } else if (IsSpecial(c)) {
      AppendEscape(out, c);
    } else {
      out.append(text.substr(start, at - start));
    }
  }
  return out;
}

std::string ValidUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t start = at;
    if (Decode(text, at) == kNotUtf8) {
      out += "\xEF\xBF\xBD";
    } else {
      out.append(text.substr(start, at - start));
    }
  }
  return out;
}

std::string Base64(std::string_view bytes) {
  static constexpr char kDigits[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    const std::size_t n = std::min<std::size_t>(3, bytes.size() - i);
    std::uint32_t group = 0;
    for (std::size_t j = 0; j < 3; ++j) {
      group = group << 8 | (j < n ? static_cast<unsigned char>(bytes[i + j]) : 0u);
    }
    for (std::size_t j = 0; j < 4; ++j) {
      out += j <= n ? kDigits[(group >> (18 - 6 * j)) & 0x3F] : '=';
    }
  }
  return out;
}

std::optional<std::string> FromBase64(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  std::string bytes;
  bytes.reserve(text.size() / 4 * 3);
  std::uint32_t bits = 0;
  int count = 0;
  std::size_t padding = 0;
  for (const char c : text) {
    int value;
    if (c >= 'A' && c <= 'Z') value = c - 'A';
    else if (c >= 'a' && c <= 'z') value = c - 'a' + 26;
    else if (c >= '0' && c <= '9') value = c - '0' + 52;
    else if (c == '+') value = 62;
    else if (c == '/') value = 63;
    else if (c == '=' && padding < 2) {
      ++padding;
      continue;
    } else {
      return std::nullopt;
    }
    if (padding != 0) return std::nullopt;  // data after padding
    bits = (bits << 6) | static_cast<std::uint32_t>(value);
    if (++count == 4) {
      bytes += static_cast<char>((bits >> 16) & 0xFF);
      bytes += static_cast<char>((bits >> 8) & 0xFF);
      bytes += static_cast<char>(bits & 0xFF);
      bits = 0;
      count = 0;
    }
  }
  // What is left: none, or two or three digits whose padding fills the group.
  if (count == 1 || (count != 0 && count + padding != 4) || (count == 0 && padding != 0)) {
    return std::nullopt;
  }
  if (count == 2) bytes += static_cast<char>((bits >> 4) & 0xFF);
  if (count == 3) {
    bytes += static_cast<char>((bits >> 10) & 0xFF);
    bytes += static_cast<char>((bits >> 2) & 0xFF);
  }
  return bytes;
}

}  // namespace packprobe
