// Entry point of packprobe-scan on Windows: the arguments arrive as UTF-16
// through wmain and go on as UTF-8.
#include <windows.h>

#include <string>
#include <vector>

#include "scan/host.h"
#include "scan/program.h"
#include "util/text.h"

int wmain(int argc, wchar_t** argv) {
  static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows wide text is UTF-16");
  std::vector<std::string> arguments;
  arguments.reserve(static_cast<std::size_t>(argc));
  for (int i = 0; i < argc; ++i) {
    std::u16string argument;
    for (const wchar_t* p = argv[i]; *p != L'\0'; ++p) argument.push_back(static_cast<char16_t>(*p));
    arguments.push_back(packprobe::Utf16ToUtf8(argument));
  }
  // Reports are UTF-8; a console shows them as such while the program runs,
  // and gets its own code page back afterwards.
  const UINT consoleCodePage = GetConsoleOutputCP();
  if (consoleCodePage != 0) SetConsoleOutputCP(CP_UTF8);
  packprobe::scan::UseBinaryStandardStreams();
  const int exitCode = packprobe::scan::RunScanProgram(arguments);
  if (consoleCodePage != 0) SetConsoleOutputCP(consoleCodePage);
  return exitCode;
}
