#include <windows.h>

#include <string>
#include <vector>

#include "platform/work_directory.h"

namespace packprobe::platform {
namespace {

const wchar_t* Wide(const std::u16string& text) {
  return reinterpret_cast<const wchar_t*>(text.c_str());
}

// Removes a directory tree without recursion: directories are emptied in
// the order they are found and removed deepest first.
void RemoveTree(const std::u16string& root) {
  std::vector<std::u16string> pending = {root};
  std::vector<std::u16string> directories;
  while (!pending.empty()) {
    std::u16string directory = std::move(pending.back());
    pending.pop_back();
    directories.push_back(directory);
    const std::u16string pattern = directory + u"\\*";
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(Wide(pattern), &found);
    if (search == INVALID_HANDLE_VALUE) continue;
    do {
      const std::u16string name(reinterpret_cast<const char16_t*>(found.cFileName));
      if (name == u"." || name == u"..") continue;
      const std::u16string path = directory + u"\\" + name;
      if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
          (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
        pending.push_back(path);
      } else {
        // DeleteFileW refuses read-only files; clear the attribute first.
        SetFileAttributesW(Wide(path), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(Wide(path));
      }
    } while (FindNextFileW(search, &found));
    FindClose(search);
  }
  for (auto it = directories.rbegin(); it != directories.rend(); ++it) {
    SetFileAttributesW(Wide(*it), FILE_ATTRIBUTE_NORMAL);
    RemoveDirectoryW(Wide(*it));
  }
}

}  // namespace

std::optional<WorkDirectory> WorkDirectory::Create() {
  wchar_t base[MAX_PATH + 1];
  const DWORD length = GetTempPathW(MAX_PATH + 1, base);
  if (length == 0 || length > MAX_PATH) return std::nullopt;
  const std::u16string prefix = std::u16string(reinterpret_cast<const char16_t*>(base)) +
                                u"packprobe-" +
                                std::u16string(reinterpret_cast<const char16_t*>(
                                    std::to_wstring(GetCurrentProcessId()).c_str()));
  for (unsigned attempt = 0; attempt < 1000; ++attempt) {
    const std::u16string path =
        prefix + u"-" +
        std::u16string(reinterpret_cast<const char16_t*>(std::to_wstring(attempt).c_str()));
    if (CreateDirectoryW(Wide(path), nullptr)) return WorkDirectory(path);
    if (GetLastError() != ERROR_ALREADY_EXISTS) return std::nullopt;
  }
  return std::nullopt;
}

WorkDirectory::~WorkDirectory() {
  if (!path_.empty()) RemoveTree(path_);
}

std::u16string WorkDirectory::PathOf(std::u16string_view name) const {
  std::u16string path = path_;
  path += u'\\';
  path += name;
  return path;
}

}  // namespace packprobe::platform
