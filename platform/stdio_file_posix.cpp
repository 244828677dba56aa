#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/stdio_file.h"
#include "platform/host_fault.h"
#include "platform/open_regular_file.h"
#include "platform/system_path.h"

namespace packprobe::platform {

StdioFile OpenFileForReading(std::u16string_view path, HostFault* fault) {
  HostFault ignored;
  HostFault& why = fault != nullptr ? *fault : ignored;
  why = HostFault::kNone;
  // File names are bytes here, named the program's one way whatever the
  // locale says; a locale conversion would fail for every non-ASCII name
  // under the C locale.
  const std::optional<NativePath> name = SystemPath(path);
  if (!name) return nullptr;
  const int fd = OpenRegularFile(name->c_str(), O_RDONLY, &why);
  if (fd < 0) return nullptr;
  StdioFile file(fdopen(fd, "r"));
  if (!file) {
    why = LastSystemErrorFault();
    close(fd);
  }
  return file;
}

StdioFile OpenStreamForReading(std::u16string_view path) {
  const std::optional<NativePath> name = SystemPath(path);
  if (!name) {
    errno = ENOENT;
    return nullptr;
  }
  return StdioFile(std::fopen(name->c_str(), "rb"));
}

StdioFile OpenStreamForAppending(std::u16string_view path) {
  const std::optional<NativePath> name = SystemPath(path);
  if (!name) {
    errno = ENOENT;
    return nullptr;
  }
  return StdioFile(std::fopen(name->c_str(), "ab"));
}

void SetBinaryDefaultFileMode() {}

}  // namespace packprobe::platform
