#include <fcntl.h>
#include <io.h>
#include <stdio.h>

#include "scan/host.h"

namespace packprobe::scan {

bool StandardErrorIsTerminal() { return _isatty(_fileno(stderr)) != 0; }

std::FILE* OpenOutputFile(const std::filesystem::path& path) { return _wfopen(path.c_str(), L"wb"); }

std::FILE* OpenInputFile(const std::filesystem::path& path) { return _wfopen(path.c_str(), L"rb"); }

void UseBinaryStandardStreams() {
  // Reports are UTF-8 with the line ends their formats define; the runtime
  // must not turn "\n" into "\r\n".
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stdin), _O_BINARY);
}

}  // namespace packprobe::scan
