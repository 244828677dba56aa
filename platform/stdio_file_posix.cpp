#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/stdio_file.h"
#include "platform/host_fault.h"
#include "platform/system_path.h"

namespace packprobe::platform {

StdioFile OpenFileForReading(std::u16string_view path) {
  // File names are bytes here, named the program's one way whatever the
  // locale says; a locale conversion would fail for every non-ASCII name
  // under the C locale.
  const std::optional<NativePath> name = SystemPath(path);
  if (!name) return nullptr;
  // Non-blocking, so that opening a pipe with no writer cannot hang; the
  // flag is cleared again once the file is known to be a regular one.
  const int fd = open(name->c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    if (errno != ENOENT && errno != ENOTDIR && errno != ENXIO) NoteLastSystemError();
    return nullptr;
  }
  struct stat info {};
  const int flags = fcntl(fd, F_GETFL);
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || flags < 0 ||
      fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    close(fd);
    return nullptr;
  }
  StdioFile file(fdopen(fd, "r"));
  if (!file) {
    NoteLastSystemError();
    close(fd);
  }
  return file;
}

void SetBinaryDefaultFileMode() {}

}  // namespace packprobe::platform
