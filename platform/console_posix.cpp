#include <cstdio>

#include "platform/console.h"
#include "util/text.h"

namespace packprobe::platform {

void WriteStandardOutput(std::u16string_view text) {
  const std::string bytes = Utf16ToUtf8(text);
  std::fwrite(bytes.data(), 1, bytes.size(), stdout);
}

void FlushStandardOutput() { std::fflush(stdout); }

}  // namespace packprobe::platform
