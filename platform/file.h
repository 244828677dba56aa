// The file service: files opened by path, read and written at a current
// position, their times and attributes, and directories.
//
// Paths are UTF-16, taken as given (see system_path.h): on Windows both '/'
// and '\' separate the levels of a path, on POSIX only '/' does and '\' is
// an ordinary character of a name. Positions follow a 32-bit model: a
// position is set as a signed 32-bit distance from the start of the file, so
// positions at or above 2^31 cannot be set; ReadUpTo reads at any position.
//
// A failure that the host causes (no memory, no space, no permission, too
// many open files, an I/O error) is kept as a value: fault() gives it for
// the last call that failed.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/host_fault.h"

namespace packprobe::platform {

// What tells one file from another, and one state of a file from a later
// one: the device (volume), the file's number on it (inode or file ID), its
// size, its last-modification time and its change time. The modification
// time can be set back to what it was after the file is written in place
// (rsync --inplace -t, tools that fix timestamps for reproducible builds);
// the change time cannot: the system moves it to the present on every
// write and on every change of the times or attributes. Two identities of
// one file are equal only when nothing was written between them.
struct FileIdentity {
  std::uint64_t device = 0;
  std::uint64_t fileId = 0;
  std::uint64_t size = 0;
  std::int64_t modified = 0;  // in the system's own units, as finely as it keeps them
  std::int64_t changed = 0;   // likewise
  bool operator==(const FileIdentity&) const = default;
};

class File {
 public:
  enum class Access {
    kReadShared,          // read only; others may read the file meanwhile
    kReadWriteExclusive,  // read and write; nobody else may open the file meanwhile
  };
  enum class Creation {
    kCreateNew,  // fail when the file exists
    kReplace,    // create, or empty an existing file; fails on a read-only file
  };

  File() = default;
  ~File();
  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  // Opens an existing regular file. False when it cannot be opened (missing,
  // access denied) or is no regular file (a directory, a pipe, a device, a
  // socket: refused at once, never waited on); an open file is closed first.
  bool Open(std::u16string_view path, Access access);

  // Creates a file for writing only, nobody else sharing it. False when it
  // cannot be created; an open file is closed first.
  bool Create(std::u16string_view path, Creation creation);

  bool IsOpen() const;
  void Close();

  // The host's fault behind the last call that failed: kNone when that
  // call failed for a reason of the input (a missing file, a directory, a
  // position that cannot be set, a read-only file that is not replaced) or
  // when no call has failed since Open or Create began.
  HostFault fault() const { return fault_; }

  // Reads up to size bytes at the current position and advances it past
  // them. *got is what was read: fewer than size at the end of the file.
  // False on a read error.
  bool Read(void* buffer, std::uint32_t size, std::uint32_t* got);

  // Reads as Read does, but at position (below 2^31) rather than the current
  // position, which is left unspecified. False when the position cannot be
  // set or the read fails.
  bool ReadAt(std::uint32_t position, void* buffer, std::uint32_t size, std::uint32_t* got);

  // Reads up to size bytes at position, which may lie anywhere (the 32-bit
  // model does not apply). *got is what was read: fewer than size at the end
  // of the file. False on a read error.
  bool ReadUpTo(std::uint64_t position, void* buffer, std::size_t size, std::size_t* got);

  // Writes all size bytes at the current position. False when not all of
  // them could be written.
  bool Write(const void* buffer, std::uint32_t size);

  // Sets the current position. False for positions at or above 2^31 and
  // when the system refuses; positions past the end of the file are allowed.
  bool SetPosition(std::uint32_t position);

  // The file's size in bytes (the whole 64-bit size).
  bool Size(std::uint64_t* size) const;

  // The identity of the open file. False when it cannot be had.
  bool Identity(FileIdentity* identity) const;

  // Gives the file a last-modification time (and, where the system keeps
  // one, a creation time) from a DOS date and time read as local time;
  // the last-access time is kept. False, changing nothing, when the date or
  // time is not a valid one.
  bool SetDosTime(std::uint16_t dosDate, std::uint16_t dosTime);

 private:
  // Records the fault of a failing call and returns false.
  bool Failed(HostFault fault = HostFault::kNone) const {
    fault_ = fault;
    return false;
  }

  std::intptr_t handle_ = -1;
  mutable HostFault fault_ = HostFault::kNone;  // see fault()
};

// Applies Windows file-attribute bits to the file at path. On POSIX only the
// read-only bit (0x01) has an effect: it removes every write permission.
bool ApplyFileAttributes(std::u16string_view path, std::uint32_t attributes);

enum class CreateDirectoryResult {
  kCreated,
  kAlreadyExists,  // a directory or a file of that name exists
  kNameTooLong,
  kFailed,         // any other reason: a level missing, access denied, ...
};
CreateDirectoryResult MakeDirectory(std::u16string_view path);

// The length of the root at the start of path ("C:\" or "C:/" on Windows,
// "/" on POSIX), or 0 when path is relative (or a network path on Windows).
std::size_t RootLength(std::u16string_view path);

// The length of the drive at the start of path ("C:" on Windows; POSIX has
// no drives), or 0.
std::size_t DriveLength(std::u16string_view path);

// True for a character that separates the levels of a path on this system:
// '/' and '\' on Windows, '/' alone on POSIX.
bool IsPathSeparator(char16_t c);

// The separator this system writes between the levels of a path.
extern const char16_t kPathSeparator;

// Entry names of archives are 8-bit text in the system's code page (on
// POSIX: UTF-8, any other byte carried as in system_path.h). Nothing when
// the text cannot be converted exactly.
std::optional<std::u16string> NarrowNameToWide(std::string_view name);
std::optional<std::string> WideNameToNarrow(std::u16string_view name);

}  // namespace packprobe::platform
