#include <dirent.h>

#include <cerrno>
#include <memory>
#include <system_error>

#include "platform/directory_listing.h"

namespace packprobe::platform {

bool ListDirectory(const NativePath& path, std::vector<NativePath>& names, std::string& error) {
  struct Closer {
    void operator()(DIR* dir) const { closedir(dir); }
  };
  const std::unique_ptr<DIR, Closer> dir(opendir(path.c_str()));
  if (!dir) {
    error = std::system_category().message(errno);
    return false;
  }
  for (;;) {
    errno = 0;
    const dirent* entry = readdir(dir.get());
    if (entry == nullptr) break;
    const char* name = entry->d_name;
    if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
    names.emplace_back(name);
  }
  if (errno != 0) {
    error = std::system_category().message(errno);
    return false;
  }
  return true;
}

}  // namespace packprobe::platform
