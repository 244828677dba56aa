#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <limits>

#include "platform/file.h"
#include "platform/host_fault.h"
#include "platform/open_regular_file.h"
#include "platform/process.h"
#include "platform/system_path.h"
#include "util/text.h"

namespace packprobe::platform {
namespace {

int Descriptor(std::intptr_t handle) { return static_cast<int>(handle); }

bool IsLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

}  // namespace

const char16_t kPathSeparator = u'/';

File::~File() { Close(); }

File::File(File&& other) noexcept : handle_(other.handle_) { other.handle_ = -1; }

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    Close();
    handle_ = other.handle_;
    other.handle_ = -1;
  }
  return *this;
}

int OpenRegularFile(const char* path, int flags, HostFault* fault) {
  *fault = HostFault::kNone;
  // Non-blocking, so that opening a pipe without a writer cannot hang; the
  // flag goes again once the file is known to be a regular one.
  int fd;
  do {
    fd = ::open(path, flags | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    // A missing file, a directory opened for writing, a socket or a device
    // without a driver are no files to read: the input's fault, not the
    // host's.
    if (errno != EISDIR && errno != ENXIO && errno != ENODEV && errno != ENOENT &&
        errno != ENOTDIR && errno != ELOOP && errno != ENAMETOOLONG) {
      *fault = LastSystemErrorFault();
    }
    return -1;
  }
  struct stat status;
  // Only a regular file is a file to read: a directory, a pipe or a device
  // has no size to read within, and a pipe could block.
  if (::fstat(fd, &status) != 0) {
    *fault = LastSystemErrorFault();
    ::close(fd);
    return -1;
  }
  const int current = ::fcntl(fd, F_GETFL);
  if (!S_ISREG(status.st_mode) || current < 0 ||
      ::fcntl(fd, F_SETFL, current & ~O_NONBLOCK) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

bool File::Open(std::u16string_view path, Access access) {
  Close();
  fault_ = HostFault::kNone;
  const std::optional<NativePath> name = SystemPath(path);
  if (!name) return Failed();
  // POSIX has no share modes; the access decides only what the descriptor
  // may do.
  HostFault fault = HostFault::kNone;
  const int fd =
      OpenRegularFile(name->c_str(), access == Access::kReadShared ? O_RDONLY : O_RDWR, &fault);
  if (fd < 0) return Failed(fault);
  handle_ = fd;
  return true;
}

bool File::Create(std::u16string_view path, Creation creation) {
  Close();
  fault_ = HostFault::kNone;
  const std::optional<NativePath> name = SystemPath(path);
  if (!name) return Failed();
  // A new file is created first; only when one exists already (and may be
  // replaced) is the existing file opened. Checking the write bits of a
  // file just created would test the umask, not the file.
  int fd;
  {
    // Once a termination has begun, nothing is created: a file made in a
    // work directory that the clean-up removed would bring it back.
    const LiveCreation creation;
    if (!creation.allowed()) return Failed(HostFault::kOther);
    do {
      fd = ::open(name->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666);
    } while (fd < 0 && errno == EINTR);
  }
  if (fd >= 0) {
    // The owner keeps reading and writing what it just made, whatever the
    // umask took away.
    struct stat status;
    if (::fstat(fd, &status) == 0 && (status.st_mode & (S_IRUSR | S_IWUSR)) != (S_IRUSR | S_IWUSR)) {
      ::fchmod(fd, (status.st_mode & 07777) | S_IRUSR | S_IWUSR);
    }
    handle_ = fd;
    return true;
  }
  if (errno != EEXIST || creation == Creation::kCreateNew) {
    return Failed(errno != EEXIST ? LastSystemErrorFault() : HostFault::kNone);
  }
  do {
    fd = ::open(name->c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    return Failed(errno != EISDIR && errno != ENXIO ? LastSystemErrorFault() : HostFault::kNone);
  }
  // Replacing is refused for anything but a writable regular file. A file
  // without write permission stands for a read-only one, which Windows will
  // not replace, and which the superuser could otherwise truncate.
  // Only a file that has content is truncated: on ext4, truncating even an
  // empty file to 0 makes its close start writing the new data back to disk.
  struct stat status;
  const int current = ::fcntl(fd, F_GETFL);
  if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) ||
      (status.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0 || current < 0 ||
      ::fcntl(fd, F_SETFL, current & ~O_NONBLOCK) != 0 ||
      (status.st_size > 0 && ::ftruncate(fd, 0) != 0)) {
    ::close(fd);
    return Failed();
  }
  handle_ = fd;
  return true;
}

bool File::IsOpen() const { return handle_ >= 0; }

void File::Close() {
  if (handle_ >= 0) {
    ::close(Descriptor(handle_));
    handle_ = -1;
  }
}

bool File::Read(void* buffer, std::uint32_t size, std::uint32_t* got) {
  *got = 0;
  if (handle_ < 0) return Failed();
  auto* bytes = static_cast<unsigned char*>(buffer);
  while (*got < size) {
    const ssize_t n = ::read(Descriptor(handle_), bytes + *got, size - *got);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Failed(LastSystemErrorFault());
    }
    if (n == 0) break;
    *got += static_cast<std::uint32_t>(n);
  }
  return true;
}

bool File::ReadAt(std::uint32_t position, void* buffer, std::uint32_t size, std::uint32_t* got) {
  *got = 0;
  if (handle_ < 0 || position >= 0x80000000u) return Failed();
  std::size_t done = 0;
  const bool read = ReadUpTo(position, buffer, size, &done);
  *got = static_cast<std::uint32_t>(done);
  return read;
}

bool File::ReadUpTo(std::uint64_t position, void* buffer, std::size_t size, std::size_t* got) {
  *got = 0;
  if (handle_ < 0 || position > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) {
    return Failed();
  }
  auto* bytes = static_cast<unsigned char*>(buffer);
  while (*got < size) {
    const ssize_t n = ::pread(Descriptor(handle_), bytes + *got, size - *got,
                              static_cast<off_t>(position + *got));
    if (n < 0) {
      if (errno == EINTR) continue;
      return Failed(LastSystemErrorFault());
    }
    if (n == 0) break;
    *got += static_cast<std::size_t>(n);
  }
  return true;
}

bool File::Write(const void* buffer, std::uint32_t size) {
  if (handle_ < 0) return Failed();
  const auto* bytes = static_cast<const unsigned char*>(buffer);
  std::uint32_t done = 0;
  while (done < size) {
    const ssize_t n = ::write(Descriptor(handle_), bytes + done, size - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      // A full disk, a quota or a file-size limit (EFBIG: SIGXFSZ is
      // ignored) ends the write as a fault of the host.
      return Failed(LastSystemErrorFault());
    }
    if (n == 0) return Failed();
    done += static_cast<std::uint32_t>(n);
  }
  return true;
}

bool File::SetPosition(std::uint32_t position) {
  if (handle_ < 0 || position >= 0x80000000u) return Failed();
  return ::lseek(Descriptor(handle_), static_cast<off_t>(position), SEEK_SET) >= 0;
}

bool File::Size(std::uint64_t* size) const {
  struct stat status;
  if (handle_ < 0) return Failed();
  if (::fstat(Descriptor(handle_), &status) != 0) return Failed(LastSystemErrorFault());
  if (status.st_size < 0) return Failed();
  *size = static_cast<std::uint64_t>(status.st_size);
  return true;
}

bool File::Identity(FileIdentity* identity) const {
  struct stat status;
  if (handle_ < 0 || ::fstat(Descriptor(handle_), &status) != 0 || status.st_size < 0) {
    return false;
  }
  identity->device = static_cast<std::uint64_t>(status.st_dev);
  identity->fileId = static_cast<std::uint64_t>(status.st_ino);
  identity->size = static_cast<std::uint64_t>(status.st_size);
  const auto nanoseconds = [](const timespec& time) {
    return static_cast<std::int64_t>(time.tv_sec) * 1000000000 + time.tv_nsec;
  };
  identity->modified = nanoseconds(status.st_mtim);
  identity->changed = nanoseconds(status.st_ctim);
  return true;
}

bool File::SetDosTime(std::uint16_t dosDate, std::uint16_t dosTime) {
  if (handle_ < 0) return Failed();
  const int year = 1980 + (dosDate >> 9);
  const int month = dosDate >> 5 & 0x0F;
  const int day = dosDate & 0x1F;
  const int hour = dosTime >> 11;
  const int minute = dosTime >> 5 & 0x3F;
  const int second = (dosTime & 0x1F) * 2;
  static constexpr int kDaysInMonth[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12 || hour > 23 || minute > 59 || second > 59 || day < 1) {
    return Failed();
  }
  const int monthDays = kDaysInMonth[month - 1] + (month == 2 && IsLeapYear(year) ? 1 : 0);
  if (day > monthDays) return Failed();

  struct tm local {};
  local.tm_year = year - 1900;
  local.tm_mon = month - 1;
  local.tm_mday = day;
  local.tm_hour = hour;
  local.tm_min = minute;
  local.tm_sec = second;
  local.tm_isdst = -1;  // as the local rules had it on that day
  const time_t when = ::mktime(&local);
  if (when == static_cast<time_t>(-1)) return Failed();
  struct timespec times[2];
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;  // last access: unchanged
  times[1].tv_sec = when;
  times[1].tv_nsec = 0;
  return ::futimens(Descriptor(handle_), times) == 0;
}

bool ApplyFileAttributes(std::u16string_view path, std::uint32_t attributes) {
  const std::optional<NativePath> name = SystemPath(path);
  if (!name) return false;
  // Only the read-only bit has a POSIX counterpart; hidden, system and
  // archive bits have none.
  if ((attributes & 0x01) == 0) return true;
  struct stat status;
  if (::stat(name->c_str(), &status) != 0) return false;
  return ::chmod(name->c_str(), status.st_mode & 07777 & ~mode_t{0222}) == 0;
}

CreateDirectoryResult MakeDirectory(std::u16string_view path) {
  const std::optional<NativePath> name = SystemPath(path);
  if (!name) return CreateDirectoryResult::kFailed;
  {
    // As for files: a folder made in a removed work directory would bring
    // it back.
    const LiveCreation creation;
    if (!creation.allowed()) return CreateDirectoryResult::kFailed;
    if (::mkdir(name->c_str(), 0777) == 0) return CreateDirectoryResult::kCreated;
  }
  switch (errno) {
    case EEXIST:
      return CreateDirectoryResult::kAlreadyExists;
    case ENAMETOOLONG:
      return CreateDirectoryResult::kNameTooLong;
    default:
      return CreateDirectoryResult::kFailed;
  }
}

std::size_t RootLength(std::u16string_view path) {
  return !path.empty() && path[0] == u'/' ? 1 : 0;
}

std::size_t DriveLength(std::u16string_view) { return 0; }

bool IsPathSeparator(char16_t c) { return c == u'/'; }

// Entry names are bytes, like file names here, and go through the program's
// text the same lossless way: a name that is not UTF-8 still matches the
// file name it was made from.
std::optional<std::u16string> NarrowNameToWide(std::string_view name) {
  return BytesToUtf16Escaped(name);
}

std::optional<std::string> WideNameToNarrow(std::u16string_view name) {
  return Utf16EscapedToBytes(name);
}

}  // namespace packprobe::platform
