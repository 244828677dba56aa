#include "gate/targets.h"
#include "platform/system_path.h"
#include "util/text.h"

namespace packprobe::gate {

// Windows paths are UTF-16.
std::filesystem::path PathFromUtf8(const std::string& utf8) {
  return std::filesystem::path(Utf8ToUtf16(utf8));
}

std::u16string PathToUtf16(const std::filesystem::path::string_type& native) {
  return platform::FromSystemPath(native);
}

}  // namespace packprobe::gate
