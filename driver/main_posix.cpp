// Entry point on POSIX: arguments arrive as bytes. UTF-8 is read as text;
// any other byte is carried along losslessly (see system_path.h), so that a
// file name that is not UTF-8 still names its file.
#include <unistd.h>

#include <exception>
#include <string>
#include <vector>

#include "component/verdict.h"
#include "driver/check.h"
#include "driver/program.h"
#include "platform/console.h"
#include "platform/process.h"
#include "util/text.h"

int main(int argc, char** argv) {
  packprobe::platform::PrepareProcess();
  try {
    std::vector<std::u16string> arguments;
    arguments.reserve(static_cast<std::size_t>(argc));
    for (int i = 0; i < argc; ++i) arguments.push_back(packprobe::BytesToUtf16Escaped(argv[i]));
    const int exitCode = packprobe::RunProgram(arguments);
    packprobe::FlushOutput();
    return exitCode;
  } catch (const std::exception&) {
    // Out of memory before or after the check, or while reporting it: say
    // so without needing any, and end as a system error.
    const std::string_view line = packprobe::kSystemErrorLine;
    packprobe::FlushOutput();
    [[maybe_unused]] const ssize_t ignored = write(STDOUT_FILENO, line.data(), line.size());
    return packprobe::kExitSystemError;
  }
}
