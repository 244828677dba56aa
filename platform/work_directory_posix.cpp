#include <stdlib.h>

#include <filesystem>
#include <string>
#include <system_error>

#include "util/text.h"
#include "platform/work_directory.h"

namespace packprobe::platform {

std::optional<WorkDirectory> WorkDirectory::Create() {
  const char* tmpdir = getenv("TMPDIR");
  std::string base = (tmpdir != nullptr && tmpdir[0] != '\0') ? tmpdir : "/tmp";
  if (base.back() != '/') base += '/';
  std::string name = base + "packprobe-XXXXXX";
  // mkdtemp creates the directory with mode 0700, so no other user can
  // place or read files in it.
  if (mkdtemp(name.data()) == nullptr) return std::nullopt;
  return WorkDirectory(Utf8ToUtf16(name));
}

WorkDirectory::~WorkDirectory() {
  if (path_.empty()) return;
  const auto native = Utf16ToUtf8Strict(path_);
  if (!native) return;
  std::error_code ignored;
  // Directories inside could have lost their write permission; give it back
  // so that their contents can go.
  for (auto it = std::filesystem::recursive_directory_iterator(*native, ignored);
       it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
    if (it->is_directory(ignored) && !it->is_symlink(ignored)) {
      std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                   std::filesystem::perm_options::add, ignored);
    }
  }
  std::filesystem::remove_all(*native, ignored);
}

std::u16string WorkDirectory::PathOf(std::u16string_view name) const {
  std::u16string path = path_;
  path += u'/';
  path += name;
  return path;
}

}  // namespace packprobe::platform
