#include "gate/targets.h"
#include "platform/system_path.h"
#include "util/text.h"

namespace packprobe::gate {

// POSIX paths are bytes, taken to be UTF-8.
std::filesystem::path PathFromUtf8(const std::string& utf8) { return std::filesystem::path(utf8); }

// A name that is not UTF-8 keeps its bytes, as the inspection opens them.
std::u16string PathToUtf16(const std::filesystem::path::string_type& native) {
  return platform::FromSystemPath(native);
}

}  // namespace packprobe::gate
