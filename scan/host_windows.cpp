#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>

#include <thread>

#include "scan/host.h"
#include "util/text.h"

namespace packprobe::scan {

// Windows has no quota a process reads as files; job objects limit rates
// rather than processors.
unsigned DefaultJobs() {
  const unsigned cores = std::thread::hardware_concurrency();
  return cores == 0 ? 1 : cores;
}

bool StandardErrorIsTerminal() { return _isatty(_fileno(stderr)) != 0; }

bool StandardOutputIsTerminal() { return _isatty(_fileno(stdout)) != 0; }

std::optional<std::string> EnvironmentVariable(const char* name) {
  std::wstring wideName;
  for (const char* c = name; *c != '\0'; ++c) wideName += static_cast<wchar_t>(*c);
  const wchar_t* value = _wgetenv(wideName.c_str());
  if (value == nullptr) return std::nullopt;
  const std::wstring_view text(value);
  return Utf16ToUtf8(std::u16string(text.begin(), text.end()));
}

namespace {
UINT savedConsoleCodePage = 0;
}  // namespace

void PrepareStandardStreams() {
  // Reports are UTF-8 with the line ends their formats define; the runtime
  // must not turn "\n" into "\r\n", and a console shows them as UTF-8
  // while the program runs.
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stdin), _O_BINARY);
  savedConsoleCodePage = GetConsoleOutputCP();
  if (savedConsoleCodePage != 0) SetConsoleOutputCP(CP_UTF8);
}

void RestoreStandardStreams() {
  if (savedConsoleCodePage != 0) SetConsoleOutputCP(savedConsoleCodePage);
}

}  // namespace packprobe::scan
