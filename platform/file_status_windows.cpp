#include <windows.h>

#include "platform/file_status.h"
#include "platform/system_path.h"

namespace packprobe::platform {

bool FileExists(const std::u16string& path) {
  const std::optional<std::wstring> name = SystemPath(path);
  return name && GetFileAttributesW(name->c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Windows keeps who may write a file in its access list, which says nothing
// simple; the folder's own protection stands.
std::string WritableByOthers(const std::u16string&) { return {}; }

}  // namespace packprobe::platform
