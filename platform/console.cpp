#include "platform/console.h"

namespace packprobe {

void Print(std::u16string_view text) { platform::WriteStandardOutput(text); }

void PrintLine(std::u16string_view text) {
  Print(text);
  Print(u"\n");
}

void FlushOutput() { platform::FlushStandardOutput(); }

}  // namespace packprobe
