#include "platform/stdio_file.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <windows.h>

#include <string>

namespace packprobe::platform {

StdioFile OpenFileForReading(std::u16string_view path) {
  // The wide path goes to the system as it is: no conversion through the
  // ANSI code page (which would replace characters it lacks, naming another
  // file) and no fixed-size buffer.
  std::wstring name;
  name.reserve(path.size());
  for (const char16_t unit : path) {
    if (unit == 0) return nullptr;
    name.push_back(static_cast<wchar_t>(unit));
  }
  StdioFile file(_wfopen(name.c_str(), L"rb"));
  if (!file) return nullptr;
  struct _stat64 info {};
  if (_fstat64(_fileno(file.get()), &info) != 0 || (info.st_mode & _S_IFMT) != _S_IFREG) {
    return nullptr;
  }
  return file;
}

void SetBinaryDefaultFileMode() { _fmode = _O_BINARY; }

}  // namespace packprobe::platform
