// Entry point of packprobe-scan on Windows: the arguments arrive as UTF-16
// through wmain and go on as UTF-8.
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "platform/process.h"
#include "platform/system_path.h"
#include "scan/host.h"
#include "scan/program.h"
#include "gate/exit_codes.h"
#include "util/text.h"

int wmain(int argc, wchar_t** argv) {
  // Before any thread or work directory exists (see platform/process.h).
  packprobe::platform::PrepareProcess();
  packprobe::scan::PrepareStandardStreams();
  int exitCode = packprobe::gate::kScanSystemError;
  try {
    std::vector<std::string> arguments;
    arguments.reserve(static_cast<std::size_t>(argc));
    for (int i = 0; i < argc; ++i) {
      arguments.push_back(packprobe::Utf16ToUtf8(packprobe::platform::FromWide(argv[i])));
    }
    exitCode = packprobe::scan::RunScanProgram(arguments);
  } catch (const std::exception&) {
    // No memory even for the report: the scan could not run. The message
    // needs no memory.
    std::fputs("packprobe-scan: out of memory; the scan could not run\n", stderr);
  }
  packprobe::scan::RestoreStandardStreams();
  return exitCode;
}
