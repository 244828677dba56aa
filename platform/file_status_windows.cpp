#include <windows.h>

#include "platform/file_status.h"

namespace packprobe::platform {
namespace {
const wchar_t* Wide(const std::u16string& text) {
  return reinterpret_cast<const wchar_t*>(text.c_str());
}
}  // namespace

bool FileExists(const std::u16string& path) {
  return GetFileAttributesW(Wide(path)) != INVALID_FILE_ATTRIBUTES;
}

bool DeleteFile(const std::u16string& path) {
  // DeleteFileW refuses read-only files; clear the attribute first.
  SetFileAttributesW(Wide(path), FILE_ATTRIBUTE_NORMAL);
  return DeleteFileW(Wide(path)) != 0;
}

}  // namespace packprobe::platform
