// Output on Windows.
//
// The runtime's wide printing is not used: in the C locale it writes
// U+0080..U+00FF as single bytes and, at the first character above U+00FF,
// drops the rest of the call, line break included. Instead a console gets
// the UTF-16 text itself through WriteConsoleW, and a file or pipe gets it
// in the ANSI code page, with "?" for what the code page cannot hold,
// written through the runtime's standard output, whose text mode turns each
// "\n" into "\r\n".
#include "platform/console_windows.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "platform/console.h"
#include "util/text.h"

namespace packprobe::platform {
namespace {

// At most this many UTF-16 units go to one conversion or console write; old
// consoles refuse writes above 64 KiB.
constexpr std::size_t kChunkUnits = 8192;

// Where standard output goes, decided at the first write: redirection
// cannot change during the run.
enum class Sink { kUndecided, kConsole, kStream };
Sink g_sink = Sink::kUndecided;
HANDLE g_console = nullptr;

// The length of the next chunk of text that does not end between the two
// halves of a surrogate pair.
std::size_t ChunkLength(std::u16string_view text) {
  if (text.size() <= kChunkUnits) return text.size();
  std::size_t length = kChunkUnits;
  if (IsHighSurrogate(text[length - 1])) --length;
  return length;
}

Sink DecideSink() {
  const HANDLE handle = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  // GetFileType alone also calls the NUL device a character device;
  // GetConsoleMode succeeds only on a console.
  if (handle != nullptr && handle != INVALID_HANDLE_VALUE && GetFileType(handle) == FILE_TYPE_CHAR &&
      GetConsoleMode(handle, &mode)) {
    g_console = handle;
    return Sink::kConsole;
  }
  return Sink::kStream;
}

// Writes to the console with "\r\n" line ends, as the runtime's text mode
// would. Returns how many units of text reached the console: all of them
// unless the console refused a chunk.
std::size_t WriteConsoleText(std::u16string_view text) {
  std::size_t done = 0;
  std::wstring wide;
  while (done < text.size()) {
    const std::size_t length = ChunkLength(text.substr(done));
    wide.clear();
    for (const char16_t unit : text.substr(done, length)) {
      if (unit == u'\n') wide.push_back(L'\r');
      wide.push_back(static_cast<wchar_t>(unit));
    }
    std::wstring_view rest = wide;
    while (!rest.empty()) {
      DWORD written = 0;
      if (!WriteConsoleW(g_console, rest.data(), static_cast<DWORD>(rest.size()), &written,
                         nullptr) ||
          written == 0) {
        return done;
      }
      rest.remove_prefix(std::min<std::size_t>(written, rest.size()));
    }
    done += length;
  }
  return done;
}

void WriteStreamText(std::u16string_view text) {
  const std::string bytes = ToCodePage(text, CP_ACP);
  std::fwrite(bytes.data(), 1, bytes.size(), stdout);
}

}  // namespace

std::string ToCodePage(std::u16string_view text, unsigned codePage) {
  std::string result;
  while (!text.empty()) {
    const std::size_t length = ChunkLength(text);
    const auto* units = reinterpret_cast<const wchar_t*>(text.data());
    const int count = static_cast<int>(length);
    // No flags and no default character given: the code page's own default
    // character replaces what it cannot hold (the only form that code pages
    // such as UTF-8 accept).
    const int needed = WideCharToMultiByte(codePage, 0, units, count, nullptr, 0, nullptr, nullptr);
    if (needed > 0) {
      const std::size_t start = result.size();
      result.resize(start + static_cast<std::size_t>(needed));
      WideCharToMultiByte(codePage, 0, units, count, result.data() + start, needed, nullptr,
                          nullptr);
    } else {
      // The code page is unknown: keep what ASCII there is.
      for (std::size_t i = 0; i < length; ++i) {
        result.push_back(text[i] < 0x80 ? static_cast<char>(text[i]) : '?');
      }
    }
    text.remove_prefix(length);
  }
  return result;
}

void WriteStandardOutput(std::u16string_view text) {
  if (g_sink == Sink::kUndecided) g_sink = DecideSink();
  if (g_sink == Sink::kConsole) {
    const std::size_t written = WriteConsoleText(text);
    if (written == text.size()) return;
    // A console that refuses wide text gets the stream form from here on.
    g_sink = Sink::kStream;
    text.remove_prefix(written);
  }
  WriteStreamText(text);
}

void FlushStandardOutput() { std::fflush(stdout); }

}  // namespace packprobe::platform
