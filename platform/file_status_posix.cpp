#include <sys/stat.h>
#include <unistd.h>

#include "platform/file_status.h"
#include "platform/system_path.h"

namespace packprobe::platform {

bool FileExists(const std::u16string& path) {
  const auto native = SystemPath(path);
  struct stat status;
  return native && stat(native->c_str(), &status) == 0;
}

}  // namespace packprobe::platform
