#include "platform/console.h"

namespace packprobe {
namespace {
OutputCapture* g_capture = nullptr;
}  // namespace

void Print(std::u16string_view text) {
  if (g_capture != nullptr) {
    g_capture->text_.append(text);
    return;
  }
  platform::WriteStandardOutput(text);
}

void PrintLine(std::u16string_view text) {
  Print(text);
  Print(u"\n");
}

void FlushOutput() { platform::FlushStandardOutput(); }

OutputCapture::OutputCapture() : previous_(g_capture) { g_capture = this; }

OutputCapture::~OutputCapture() { g_capture = previous_; }

}  // namespace packprobe
