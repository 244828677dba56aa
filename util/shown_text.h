// Texts as the reports show them: paths that two files can never share, and
// strings from packages that cannot break a line or reach a terminal's
// control sequences.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace packprobe {

// A path as every report shows it. A plain path (well-formed UTF-8 without
// control characters, line or paragraph separators, bidirectional controls
// or U+FFFE/U+FFFF, and not starting with '"') is shown as it is. Any other
// path is shown quoted: '"', then the path with '\' as "\\", '"' as "\"",
// tab, newline and carriage return as "\t", "\n", "\r", every other such
// character as "\uXXXX" and every byte that is not UTF-8 as "\xHH", then
// '"'. Plain paths never start with '"' and the quoted form decodes to one
// byte string, so two paths never show alike.
std::string ShownPath(std::string_view raw);

// True when ShownPath shows raw as it is.
bool IsPlainPath(std::string_view raw);

// A string from a package (a name, a version text, a detail quoting one) for
// the line-oriented text report: control characters and the other
// characters that ShownPath escapes become "\n", "\t", "\r", "\x1b",
// "\uXXXX"; bytes that are not UTF-8 become "\xHH". Backslashes stay.
std::string EscapeControls(std::string_view text);

// Bytes that are not UTF-8 become U+FFFD; the rest stays.
std::string ValidUtf8(std::string_view text);

// The RFC 4648 base64 form of bytes.
std::string Base64(std::string_view bytes);

// The bytes of RFC 4648 base64 text (padded, no line breaks); nothing when
// the text is not that.
std::optional<std::string> FromBase64(std::string_view text);

}  // namespace packprobe
