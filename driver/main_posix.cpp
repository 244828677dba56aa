// Entry point on POSIX: arguments arrive as bytes and are read as UTF-8.
#include <string>
#include <vector>

#include "driver/program.h"
#include "platform/console.h"
#include "util/text.h"

int main(int argc, char** argv) {
  std::vector<std::u16string> arguments;
  arguments.reserve(static_cast<std::size_t>(argc));
  for (int i = 0; i < argc; ++i) arguments.push_back(packprobe::Utf8ToUtf16(argv[i]));
  const int exitCode = packprobe::RunProgram(arguments);
  packprobe::FlushOutput();
  return exitCode;
}
