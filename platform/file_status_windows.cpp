#include <windows.h>

#include "platform/file_status.h"
#include "platform/system_path.h"

namespace packprobe::platform {

bool FileExists(const std::u16string& path) {
  const std::optional<std::wstring> name = SystemPath(path);
  return name && GetFileAttributesW(name->c_str()) != INVALID_FILE_ATTRIBUTES;
}

}  // namespace packprobe::platform
