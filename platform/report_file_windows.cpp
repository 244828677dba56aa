#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <windows.h>

#include <string>
#include <system_error>

#include "platform/process.h"
#include "platform/report_file.h"

namespace packprobe::platform {
namespace {

std::string Reason(DWORD error) {
  return std::system_category().message(static_cast<int>(error));
}

std::FILE* StreamOf(HANDLE handle, int flags, const char* mode) {
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), flags);
  if (fd < 0) {
    CloseHandle(handle);
    return nullptr;
  }
  std::FILE* file = _fdopen(fd, mode);
  if (file == nullptr) _close(fd);
  return file;
}

// A name beside path for a new file: the folder of path and a counter with
// the process and the tick count, tried until one is free.
std::wstring FolderOf(const std::wstring& path) {
  const std::size_t separator = path.find_last_of(L"\\/");
  return separator == std::wstring::npos ? std::wstring() : path.substr(0, separator + 1);
}

}  // namespace

StdioFile CreateSpillFile(std::string& error) {
  wchar_t folder[MAX_PATH + 1];
  const DWORD length = GetTempPathW(MAX_PATH + 1, folder);
  if (length == 0 || length > MAX_PATH) {
    error = "no temporary folder: " + Reason(GetLastError());
    return nullptr;
  }
  for (unsigned attempt = 0; attempt < 100; ++attempt) {
    const std::wstring name = std::wstring(folder) + L"packprobe-spill-" +
                              std::to_wstring(GetCurrentProcessId()) + L"-" +
                              std::to_wstring(GetTickCount() + attempt) + L".tmp";
    // Deleted by the system when the handle closes, however the process ends.
    const HANDLE handle =
        CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                    FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
      if (GetLastError() == ERROR_FILE_EXISTS) continue;
      error = "cannot create a temporary file: " + Reason(GetLastError());
      return nullptr;
    }
    std::FILE* file = StreamOf(handle, _O_RDWR | _O_BINARY, "w+b");
    if (file == nullptr) error = "cannot open a temporary file";
    return StdioFile(file);
  }
  error = "cannot find a free name for a temporary file";
  return nullptr;
}

ReplacingOutput::~ReplacingOutput() { Discard(); }

void ReplacingOutput::Discard() noexcept {
  if (file_ != nullptr) std::fclose(file_);
  file_ = nullptr;
  if (!temporary_.empty()) {
    DeleteFileW(temporary_.c_str());
    UnregisterLiveDirectory(slot_);
  }
  temporary_.clear();
  slot_ = -1;
}

bool ReplacingOutput::Open(const NativePath& path, std::string& error) {
  Discard();
  target_ = path;
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    error = "it is a folder";
    return false;
  }
  const std::wstring folder = FolderOf(path);
  for (unsigned attempt = 0; attempt < 100; ++attempt) {
    const std::wstring name = folder + L".packprobe-scan-" + std::to_wstring(GetCurrentProcessId()) +
                              L"-" + std::to_wstring(GetTickCount() + attempt) + L".tmp";
    const HANDLE handle = CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
      if (GetLastError() == ERROR_FILE_EXISTS) continue;
      error = Reason(GetLastError());
      return false;
    }
    temporary_ = name;
    slot_ = RegisterLiveDirectory(name);
    file_ = StreamOf(handle, _O_WRONLY | _O_BINARY, "wb");
    if (file_ == nullptr) {
      error = "cannot open the temporary file";
      Discard();
      return false;
    }
    return true;
  }
  error = "cannot find a free name for a temporary file";
  return false;
}

bool ReplacingOutput::Commit(std::string& error) {
  if (file_ == nullptr) {
    error = "the output is not open";
    return false;
  }
  bool ok = std::fflush(file_) == 0;
  if (std::fclose(file_) != 0) ok = false;
  file_ = nullptr;
  if (!ok) {
    error = "the report could not be written";
    Discard();
    return false;
  }
  if (!MoveFileExW(temporary_.c_str(), target_.c_str(),
                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    error = Reason(GetLastError());
    Discard();
    return false;
  }
  UnregisterLiveDirectory(slot_);
  temporary_.clear();
  slot_ = -1;
  return true;
}

}  // namespace packprobe::platform
