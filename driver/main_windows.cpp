// Entry point on Windows: the arguments arrive as UTF-16 through wmain.
#include <string>
#include <vector>

#include "driver/program.h"
#include "platform/console.h"

int wmain(int argc, wchar_t** argv) {
  static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows wide text is UTF-16");
  std::vector<std::u16string> arguments;
  arguments.reserve(static_cast<std::size_t>(argc));
  for (int i = 0; i < argc; ++i) {
    // wchar_t and char16_t are distinct types of the same width; copy the
    // code units one by one rather than reinterpret the buffer.
    std::u16string argument;
    for (const wchar_t* p = argv[i]; *p != L'\0'; ++p) argument.push_back(static_cast<char16_t>(*p));
    arguments.push_back(std::move(argument));
  }
  const int exitCode = packprobe::RunProgram(arguments);
  packprobe::FlushOutput();
  return exitCode;
}
