#include <windows.h>

#include <vector>

#include "platform/remove_tree.h"

namespace packprobe::platform {

// Without recursion: directories are emptied in the order they are found
// and removed deepest first.
void RemoveTree(const NativePath& root) noexcept {
  if (root.empty()) return;
  // A registered file (a temporary report) rather than a directory.
  const DWORD attributes = GetFileAttributesW(root.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    SetFileAttributesW(root.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(root.c_str());
    return;
  }
  try {
    std::vector<std::wstring> pending = {root};
    std::vector<std::wstring> directories;
    while (!pending.empty()) {
      std::wstring directory = std::move(pending.back());
      pending.pop_back();
      directories.push_back(directory);
      const std::wstring pattern = directory + L"\\*";
      WIN32_FIND_DATAW found;
      HANDLE search = FindFirstFileW(pattern.c_str(), &found);
      if (search == INVALID_HANDLE_VALUE) continue;
      do {
        const std::wstring name(found.cFileName);
        if (name == L"." || name == L"..") continue;
        const std::wstring path = directory + L"\\" + name;
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
            (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
          pending.push_back(path);
        } else {
          // DeleteFileW refuses read-only files; clear the attribute first.
          SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
          DeleteFileW(path.c_str());
        }
      } while (FindNextFileW(search, &found));
      FindClose(search);
    }
    for (auto it = directories.rbegin(); it != directories.rend(); ++it) {
      SetFileAttributesW(it->c_str(), FILE_ATTRIBUTE_NORMAL);
      RemoveDirectoryW(it->c_str());
    }
  } catch (...) {
    // Out of memory: what is left stays, as with any other failure here.
  }
}

}  // namespace packprobe::platform
