// Prints one string of a program file's version resource, as this project's
// own reader finds it: version_text FILE KEY prints the text stored under
// \StringFileInfo\040904B0\KEY (for example ProductVersion) and exits 0, or
// prints nothing and exits 1 when the file has no such text. The packaging
// checks use it on the Windows programs.
#include <cstdio>
#include <string>

#include "pe/version_info.h"
#include "util/text.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: version_text FILE KEY\n");
    return 2;
  }
  const std::u16string path = packprobe::Utf8ToUtf16(argv[1]);
  const std::uint32_t size = packprobe::platform::GetVersionInfoSize(path);
  const auto block = packprobe::platform::VersionInfoBlock::Read(path, size);
  if (!block) return 1;
  const auto text =
      block->QueryText(u"\\StringFileInfo\\040904B0\\" + packprobe::Utf8ToUtf16(argv[2]));
  if (!text) return 1;
  std::printf("%s\n", packprobe::Utf16ToUtf8(*text).c_str());
  return 0;
}
