// Entry point on Windows: the arguments arrive as UTF-16 through wmain.
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "component/verdict.h"
#include "driver/check.h"
#include "driver/program.h"
#include "platform/console.h"
#include "platform/process.h"
#include "platform/system_path.h"

int wmain(int argc, wchar_t** argv) {
  static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows wide text is UTF-16");
  packprobe::platform::PrepareProcess();
  try {
    std::vector<std::u16string> arguments;
    arguments.reserve(static_cast<std::size_t>(argc));
    for (int i = 0; i < argc; ++i) arguments.push_back(packprobe::platform::FromWide(argv[i]));
    const int exitCode = packprobe::RunProgram(arguments);
    packprobe::FlushOutput();
    return exitCode;
  } catch (const std::exception&) {
    // Out of memory before or after the check, or while reporting it.
    packprobe::FlushOutput();
    std::fwrite(packprobe::kSystemErrorLine.data(), 1, packprobe::kSystemErrorLine.size(), stdout);
    std::fflush(stdout);
    return packprobe::kExitSystemError;
  }
}
