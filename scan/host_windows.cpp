#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <stdio.h>

#include "scan/host.h"

namespace packprobe::scan {

bool StandardErrorIsTerminal() { return _isatty(_fileno(stderr)) != 0; }

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
