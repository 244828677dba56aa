#include <windows.h>

#include <algorithm>

#include "platform/file.h"
#include "platform/host_fault.h"
#include "platform/process.h"
#include "platform/system_path.h"

namespace packprobe::platform {
namespace {

HANDLE ToHandle(std::intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }
std::intptr_t FromHandle(HANDLE handle) { return reinterpret_cast<std::intptr_t>(handle); }

constexpr std::intptr_t kClosed = -1;  // INVALID_HANDLE_VALUE

}  // namespace

const char16_t kPathSeparator = u'\\';

File::~File() { Close(); }

File::File(File&& other) noexcept : handle_(other.handle_) { other.handle_ = kClosed; }

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    Close();
    handle_ = other.handle_;
    other.handle_ = kClosed;
  }
  return *this;
}

bool File::Open(std::u16string_view path, Access access) {
  Close();
  fault_ = HostFault::kNone;
  const std::optional<NativePath> name = SystemPath(path);
  if (!name) return Failed();
  const bool shared = access == Access::kReadShared;
  const HANDLE handle = CreateFileW(name->c_str(), shared ? GENERIC_READ : GENERIC_READ | GENERIC_WRITE,
                                    shared ? FILE_SHARE_READ : 0, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_SEQUENTIAL_SCAN | FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    HostFault fault = HostFault::kNone;
    if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND &&
        error != ERROR_INVALID_NAME && error != ERROR_BAD_PATHNAME) {
      // A directory is refused with "access denied" too; it is no file, not
      // a fault of the host.
      const DWORD attributes = GetFileAttributesW(name->c_str());
      if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        fault = HostFaultFromSystemError(static_cast<int>(error));
      }
    }
    return Failed(fault);
  }
  // Only a file on disk is a file to read: a pipe or a device has no size to
  // read within.
  if (GetFileType(handle) != FILE_TYPE_DISK) {
    CloseHandle(handle);
    return Failed();
  }
  handle_ = FromHandle(handle);
  return true;
}

bool File::Create(std::u16string_view path, Creation creation) {
  Close();
  fault_ = HostFault::kNone;
  const std::optional<NativePath> name = SystemPath(path);
  if (!name) return Failed();
  // Windows refuses to replace a read-only file, but Wine run by the
  // superuser replaces it; refuse it here so that both behave alike.
  const DWORD attributes = GetFileAttributesW(name->c_str());
  if (creation == Creation::kReplace && attributes != INVALID_FILE_ATTRIBUTES &&
      (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
    SetLastError(ERROR_ACCESS_DENIED);
    return Failed();
  }
  const HANDLE handle =
      CreateFileW(name->c_str(), GENERIC_WRITE, 0, nullptr,
                  creation == Creation::kCreateNew ? CREATE_NEW : CREATE_ALWAYS,
                  FILE_FLAG_SEQUENTIAL_SCAN | FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    return Failed(GetLastError() != ERROR_FILE_EXISTS ? LastSystemErrorFault()
                                                      : HostFault::kNone);
  }
  handle_ = FromHandle(handle);
  return true;
}

bool File::IsOpen() const { return handle_ != kClosed; }

void File::Close() {
  if (handle_ != kClosed) {
    CloseHandle(ToHandle(handle_));
    handle_ = kClosed;
  }
}

bool File::Read(void* buffer, std::uint32_t size, std::uint32_t* got) {
  *got = 0;
  // A requested termination ends every read and write (see process.h).
  if (handle_ == kClosed || TerminationRequested()) return Failed();
  DWORD read = 0;
  if (!ReadFile(ToHandle(handle_), buffer, size, &read, nullptr)) {
    return Failed(LastSystemErrorFault());
  }
  *got = read;
  return true;
}

bool File::ReadAt(std::uint32_t position, void* buffer, std::uint32_t size, std::uint32_t* got) {
  *got = 0;
  return SetPosition(position) && Read(buffer, size, got);
}

bool File::ReadUpTo(std::uint64_t position, void* buffer, std::size_t size, std::size_t* got) {
  *got = 0;
  if (handle_ == kClosed || TerminationRequested()) return Failed();
  auto* bytes = static_cast<unsigned char*>(buffer);
  while (*got < size) {
    const std::uint64_t at = position + *got;
    OVERLAPPED where{};
    where.Offset = static_cast<DWORD>(at);
    where.OffsetHigh = static_cast<DWORD>(at >> 32);
    DWORD read = 0;
    const DWORD want = static_cast<DWORD>(std::min<std::size_t>(size - *got, 1u << 20));
    if (!ReadFile(ToHandle(handle_), bytes + *got, want, &read, &where)) {
      if (GetLastError() == ERROR_HANDLE_EOF) break;
      return Failed(LastSystemErrorFault());
    }
    if (read == 0) break;
    *got += read;
  }
  return true;
}

bool File::Write(const void* buffer, std::uint32_t size) {
  if (handle_ == kClosed || TerminationRequested()) return Failed();
  const auto* bytes = static_cast<const unsigned char*>(buffer);
  std::uint32_t done = 0;
  while (done < size) {
    DWORD written = 0;
    if (!WriteFile(ToHandle(handle_), bytes + done, size - done, &written, nullptr)) {
      return Failed(LastSystemErrorFault());
    }
    if (written == 0) return Failed();
    done += written;
  }
  return true;
}

bool File::SetPosition(std::uint32_t position) {
  // The distance is a signed 32-bit value without a high part, so positions
  // from 2^31 on cannot be reached; refuse them before the API would.
  if (handle_ == kClosed || position >= 0x80000000u) return Failed();
  const DWORD result =
      SetFilePointer(ToHandle(handle_), static_cast<LONG>(position), nullptr, FILE_BEGIN);
  return result != INVALID_SET_FILE_POINTER || GetLastError() == NO_ERROR;
}

bool File::Size(std::uint64_t* size) const {
  if (handle_ == kClosed) return Failed();
  DWORD high = 0;
  SetLastError(NO_ERROR);
  const DWORD low = GetFileSize(ToHandle(handle_), &high);
  if (low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) {
    return Failed(LastSystemErrorFault());
  }
  *size = std::uint64_t{high} << 32 | low;
  return true;
}

bool File::Identity(FileIdentity* identity) const {
  // The volume, the file index and the size come with the handle's
  // information; the change time only with its basic information, which
  // holds the last-write time too.
  BY_HANDLE_FILE_INFORMATION info;
  FILE_BASIC_INFO times;
  if (handle_ == kClosed || !GetFileInformationByHandle(ToHandle(handle_), &info) ||
      !GetFileInformationByHandleEx(ToHandle(handle_), FileBasicInfo, &times, sizeof times)) {
    return false;
  }
  identity->device = info.dwVolumeSerialNumber;
  identity->fileId = std::uint64_t{info.nFileIndexHigh} << 32 | info.nFileIndexLow;
  identity->size = std::uint64_t{info.nFileSizeHigh} << 32 | info.nFileSizeLow;
  identity->modified = times.LastWriteTime.QuadPart;
  identity->changed = times.ChangeTime.QuadPart;
  return true;
}

bool File::SetDosTime(std::uint16_t dosDate, std::uint16_t dosTime) {
  if (handle_ == kClosed) return Failed();
  FILETIME creation, access, write, local, utc;
  if (!GetFileTime(ToHandle(handle_), &creation, &access, &write)) return Failed();
  if (!DosDateTimeToFileTime(dosDate, dosTime, &local)) return Failed();
  if (!LocalFileTimeToFileTime(&local, &utc)) return Failed();
  return SetFileTime(ToHandle(handle_), &utc, &access, &utc) != FALSE;
}

bool ApplyFileAttributes(std::u16string_view path, std::uint32_t attributes) {
  const std::optional<NativePath> name = SystemPath(path);
  return name && SetFileAttributesW(name->c_str(), attributes) != FALSE;
}

CreateDirectoryResult MakeDirectory(std::u16string_view path) {
  const std::optional<NativePath> name = SystemPath(path);
  if (!name) return CreateDirectoryResult::kFailed;
  if (CreateDirectoryW(name->c_str(), nullptr)) return CreateDirectoryResult::kCreated;
  switch (GetLastError()) {
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return CreateDirectoryResult::kAlreadyExists;
    case ERROR_FILENAME_EXCED_RANGE:
      return CreateDirectoryResult::kNameTooLong;
    default:
      return CreateDirectoryResult::kFailed;
  }
}

std::size_t RootLength(std::u16string_view path) {
  return DriveLength(path) == 2 && path.size() >= 3 && IsPathSeparator(path[2]) ? 3 : 0;
}

std::size_t DriveLength(std::u16string_view path) {
  return path.size() >= 2 && path[1] == u':' ? 2 : 0;
}

bool IsPathSeparator(char16_t c) { return c == u'/' || c == u'\\'; }

std::optional<std::u16string> NarrowNameToWide(std::string_view name) {
  if (name.empty()) return std::u16string();
  if (name.size() > 0x7FFFFFFF) return std::nullopt;
  const int length = static_cast<int>(name.size());
  // Without MB_ERR_INVALID_CHARS a byte sequence that the code page does not
  // define would become some stand-in character, naming another file.
  const int needed =
      MultiByteToWideChar(CP_THREAD_ACP, MB_ERR_INVALID_CHARS, name.data(), length, nullptr, 0);
  if (needed <= 0) return std::nullopt;
  std::wstring wide(static_cast<std::size_t>(needed), L'\0');
  if (MultiByteToWideChar(CP_THREAD_ACP, MB_ERR_INVALID_CHARS, name.data(), length, wide.data(),
                          needed) != needed) {
    return std::nullopt;
  }
  return std::u16string(wide.begin(), wide.end());
}

std::optional<std::string> WideNameToNarrow(std::u16string_view name) {
  if (name.empty()) return std::string();
  if (name.size() > 0x7FFFFFFF) return std::nullopt;
  const std::wstring wide(name.begin(), name.end());
  const int length = static_cast<int>(wide.size());
  // A character the code page lacks would silently become '?', or its
  // "best fit" ('A' for U+00C4 in code page 932), either of which could match
  // an entry of another name; such a name is not converted.
  BOOL usedDefault = FALSE;
  BOOL* usedDefaultOut = &usedDefault;
  DWORD flags = WC_NO_BEST_FIT_CHARS;
  int needed = WideCharToMultiByte(CP_THREAD_ACP, flags, wide.data(), length, nullptr, 0, nullptr,
                                   usedDefaultOut);
  if (needed <= 0 && GetLastError() == ERROR_INVALID_PARAMETER) {
    // A UTF-8 code page takes no default character; it reports unpaired
    // surrogates through the flag instead.
    usedDefaultOut = nullptr;
    flags = WC_ERR_INVALID_CHARS;
    needed = WideCharToMultiByte(CP_THREAD_ACP, flags, wide.data(), length, nullptr, 0, nullptr,
                                 nullptr);
  }
  if (needed <= 0 || usedDefault) return std::nullopt;
  std::string narrow(static_cast<std::size_t>(needed), '\0');
  if (WideCharToMultiByte(CP_THREAD_ACP, flags, wide.data(), length, narrow.data(), needed,
                          nullptr, usedDefaultOut) != needed ||
      usedDefault) {
    return std::nullopt;
  }
  return narrow;
}

}  // namespace packprobe::platform
