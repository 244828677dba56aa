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

std::string WritableByOthers(const std::u16string& path) {
  const auto native = SystemPath(path);
  struct stat status;
  if (!native || stat(native->c_str(), &status) != 0) return {};
  if (status.st_uid != geteuid() && status.st_uid != 0) {
    return "it is owned by another user (uid " + std::to_string(status.st_uid) + ")";
  }
  if ((status.st_mode & S_IWOTH) != 0) return "anyone may write it";
  return {};
}

}  // namespace packprobe::platform
