#include "report/escape.h"

#include <cstdio>

#include "util/ascii.h"
#include "util/shown_text.h"

namespace packprobe::report {

std::string JsonString(std::string_view raw) {
  const std::string text = ValidUtf8(raw);
  std::string out = "\"";
  out.reserve(text.size() + 2);
  for (const char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\f': out += "\\f"; break;
      case '\r': out += "\\r"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char escape[8];
          std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(c));
          out += escape;
        } else {
          out += c;
        }
    }
  }
  return out + "\"";
}

std::string CsvField(std::string_view raw) {
  const std::string text = ValidUtf8(raw);
  if (text.find_first_of(",\"\r\n") == text.npos) return text;
  std::string field = "\"";
  for (const char c : text) {
    if (c == '"') field += '"';
    field += c;
  }
  return field + "\"";
}

namespace {

std::string Xml(std::string_view raw, bool attribute) {
  const std::string text = ValidUtf8(raw);
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    switch (c) {
      case '&': out += "&amp;"; continue;
      case '<': out += "&lt;"; continue;
      case '>': out += "&gt;"; continue;
      case '"': out += "&quot;"; continue;
      case '\'': out += "&apos;"; continue;
      case '\t': out += attribute ? "&#9;" : "\t"; continue;
      case '\n': out += attribute ? "&#10;" : "\n"; continue;
      case '\r': out += "&#13;"; continue;
      default: break;
    }
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20) {
      out += "\xEF\xBF\xBD";
    } else if (u == 0xEF && i + 2 < text.size() && text[i + 1] == '\xBF' &&
               (text[i + 2] == '\xBE' || text[i + 2] == '\xBF')) {
      out += "\xEF\xBF\xBD";  // U+FFFE or U+FFFF
      i += 2;
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace

std::string XmlText(std::string_view raw) { return Xml(raw, false); }
std::string XmlAttribute(std::string_view raw) { return Xml(raw, true); }

std::string GithubData(std::string_view raw) {
  std::string out;
  for (const char c : ValidUtf8(raw)) {
    switch (c) {
      case '%': out += "%25"; break;
      case '\r': out += "%0D"; break;
      case '\n': out += "%0A"; break;
      default: out += c;
    }
  }
  return out;
}

std::string GithubProperty(std::string_view raw) {
  std::string out;
  for (const char c : GithubData(raw)) {
    switch (c) {
      case ':': out += "%3A"; break;
      case ',': out += "%2C"; break;
      default: out += c;
    }
  }
  return out;
}

std::string MarkdownText(std::string_view raw) {
  const std::string text = EscapeControls(raw);
  std::string out;
  out.reserve(text.size() + text.size() / 8);
  // At the start a heading, a quote, a list item or an underline could
  // begin: "#", ">", "-", "+", "=", or digits and "." or ")".
  std::size_t digits = 0;
  while (digits < text.size() && digits < 9 && text[digits] >= '0' && text[digits] <= '9') ++digits;
  const std::size_t blockMark = !text.empty() && std::string_view("#>-+=").find(text[0]) != std::string_view::npos
                                    ? 0
                                : digits > 0 && digits < text.size() && (text[digits] == '.' || text[digits] == ')')
                                    ? digits
                                    : std::string::npos;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    bool escape = i == blockMark || std::string_view("\\`*_[]<>|~&$").find(c) != std::string_view::npos;
    // GitHub links "www.host" and "scheme://..." in plain text.
    if (c == '.' && i >= 3 && AsciiEqualIgnoringCase(text[i - 3], 'w') &&
        AsciiEqualIgnoringCase(text[i - 2], 'w') && AsciiEqualIgnoringCase(text[i - 1], 'w')) {
      escape = true;
    }
    if (c == ':' && text.compare(i + 1, 2, "//") == 0) escape = true;
    if (escape) out += '\\';
    out += c;
  }
  return out;
}

}  // namespace packprobe::report
