#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <windows.h>

#include <cerrno>
#include <string>

#include "platform/stdio_file.h"
#include "platform/system_path.h"

namespace packprobe::platform {
namespace {

// A path of MAX_PATH characters or more opens only in the extended form
// ("\\?\"), which must be a full path because the system then leaves it
// unnormalised.
std::wstring ExtendedPath(const std::wstring& name) {
  if (name.size() < MAX_PATH || name.rfind(L"\\\\?\\", 0) == 0) return name;
  const DWORD needed = GetFullPathNameW(name.c_str(), 0, nullptr, nullptr);
  if (needed == 0) return name;
  std::wstring full(needed, L'\0');
  const DWORD written = GetFullPathNameW(name.c_str(), needed, full.data(), nullptr);
  if (written == 0 || written >= needed) return name;
  full.resize(written);
  if (full.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

}  // namespace

StdioFile OpenFileForReading(std::u16string_view path, HostFault* fault) {
  HostFault ignored;
  HostFault& why = fault != nullptr ? *fault : ignored;
  why = HostFault::kNone;
  // The wide path goes to the system as it is: no conversion through the
  // ANSI code page (which would replace characters it lacks, naming another
  // file) and no fixed-size buffer.
  const std::optional<std::wstring> name = SystemPath(path);
  if (!name) return nullptr;
  StdioFile file(_wfopen(ExtendedPath(*name).c_str(), L"rb"));
  if (!file) {
    // A missing file or one that names no file is the input's; anything
    // else (no memory, too many open files, access denied) the host's.
    if (errno != ENOENT && errno != EINVAL) {
      why = HostFaultFromSystemError(static_cast<int>(_doserrno));
    }
    return nullptr;
  }
  struct _stat64 info {};
  if (_fstat64(_fileno(file.get()), &info) != 0 || (info.st_mode & _S_IFMT) != _S_IFREG) {
    return nullptr;
  }
  return file;
}

StdioFile OpenStreamForReading(std::u16string_view path) {
  const std::optional<std::wstring> name = SystemPath(path);
  if (!name) {
    errno = ENOENT;
    return nullptr;
  }
  return StdioFile(_wfopen(ExtendedPath(*name).c_str(), L"rb"));
}

StdioFile OpenStreamForAppending(std::u16string_view path) {
  const std::optional<std::wstring> name = SystemPath(path);
  if (!name) {
    errno = ENOENT;
    return nullptr;
  }
  return StdioFile(_wfopen(ExtendedPath(*name).c_str(), L"ab"));
}

void SetBinaryDefaultFileMode() { _fmode = _O_BINARY; }

}  // namespace packprobe::platform
