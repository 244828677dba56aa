#include <windows.h>

#include <system_error>

#include "platform/directory_listing.h"

namespace packprobe::platform {

bool ListDirectory(const NativePath& path, std::vector<NativePath>& names, std::string& error) {
  std::wstring pattern = path;
  if (!pattern.empty() && pattern.back() != L'\\' && pattern.back() != L'/') pattern += L'\\';
  pattern += L'*';
  WIN32_FIND_DATAW found;
  const HANDLE find = FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &found,
                                       FindExSearchNameMatch, nullptr, 0);
  if (find == INVALID_HANDLE_VALUE) {
    error = std::system_category().message(static_cast<int>(GetLastError()));
    return false;
  }
  DWORD failure = ERROR_NO_MORE_FILES;
  try {
    do {
      const wchar_t* name = found.cFileName;
      if (name[0] == L'.' && (name[1] == L'\0' || (name[1] == L'.' && name[2] == L'\0'))) continue;
      names.emplace_back(name);
    } while (FindNextFileW(find, &found));
    failure = GetLastError();
  } catch (...) {
    FindClose(find);
    throw;
  }
  FindClose(find);
  if (failure != ERROR_NO_MORE_FILES) {
    error = std::system_category().message(static_cast<int>(failure));
    return false;
  }
  return true;
}

}  // namespace packprobe::platform
