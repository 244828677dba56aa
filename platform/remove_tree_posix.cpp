// Removing a directory tree with nothing but system calls that are safe in a
// signal handler: no allocation, no locks, no stdio. The same routine serves
// the ordinary removal of a work directory and the removal from a handler.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/file.h"
#include "platform/remove_tree.h"

namespace packprobe::platform {
namespace {

// Each level keeps one directory-listing buffer on the stack; deeper trees
// than this are left as they are rather than risk the stack.
constexpr int kMaxDepth = 256;
constexpr std::size_t kListingSize = 512;

struct LinuxDirent64 {
  ino64_t d_ino;
  off64_t d_off;
  unsigned short d_reclen;
  unsigned char d_type;
  char d_name[1];
};

bool IsDotOrDotDot(const char* name) {
  return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

void RemoveAt(int parent, const char* name, int depth);

// Removes every entry of the open directory fd.
void RemoveEntries(int fd, int depth) {
  alignas(LinuxDirent64) char listing[kListingSize];
  for (;;) {
    const long got = ::syscall(SYS_getdents64, fd, listing, sizeof listing);
    if (got <= 0) break;
    for (long at = 0; at < got;) {
      const auto* entry = reinterpret_cast<const LinuxDirent64*>(listing + at);
      if (!IsDotOrDotDot(entry->d_name)) RemoveAt(fd, entry->d_name, depth + 1);
      at += entry->d_reclen;
    }
  }
}

// Removes name (relative to the directory parent, or a path when parent is
// AT_FDCWD) with everything below it. Directories get their owner's
// permissions back first, so that read-only levels go too.
void RemoveAt(int parent, const char* name, int depth) {
  if (::unlinkat(parent, name, 0) == 0 || errno == ENOENT) return;
  if (errno != EISDIR && errno != EPERM) return;
  if (depth >= kMaxDepth) return;
  int fd = ::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0 && errno == EACCES) {
    // Without the permissions back the second open fails as the first did.
    if (::fchmodat(parent, name, S_IRWXU, 0) != 0) return;
    fd = ::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  }
  if (fd < 0) return;
  ::fchmod(fd, S_IRWXU);
  RemoveEntries(fd, depth);
  ::close(fd);
  ::unlinkat(parent, name, AT_REMOVEDIR);
}

}  // namespace

void RemoveTreeSignalSafe(const char* path) {
  const int saved = errno;
  RemoveAt(AT_FDCWD, path, 0);
  errno = saved;
}

void RemoveTreeWithDescriptorSignalSafe(int descriptor, const char* path) {
  const int saved = errno;
  // The listing starts from the first entry, whoever read it before.
  ::lseek(descriptor, 0, SEEK_SET);
  ::fchmod(descriptor, S_IRWXU);
  RemoveEntries(descriptor, 0);
  ::unlinkat(AT_FDCWD, path, AT_REMOVEDIR);
  errno = saved;
}

void RemoveTree(const NativePath& path) noexcept {
  if (!path.empty()) RemoveTreeSignalSafe(path.c_str());
}

}  // namespace packprobe::platform
