#include <windows.h>

#include "platform/file_status.h"
#include "platform/system_path_windows.h"

namespace packprobe::platform {

bool FileExists(const std::u16string& path) {
  const std::optional<std::wstring> name = SystemPath(path);
  return name && GetFileAttributesW(name->c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool DeleteFile(const std::u16string& path) {
  const std::optional<std::wstring> name = SystemPath(path);
  if (!name) return false;
  // DeleteFileW refuses read-only files; clear the attribute first.
  SetFileAttributesW(name->c_str(), FILE_ATTRIBUTE_NORMAL);
  return DeleteFileW(name->c_str()) != 0;
}

}  // namespace packprobe::platform
