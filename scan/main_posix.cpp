// Entry point of packprobe-scan on POSIX: the arguments are bytes, passed on
// as they are (paths need not be UTF-8).
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "platform/process.h"
#include "scan/program.h"
#include "gate/exit_codes.h"

int main(int argc, char** argv) {
  // Before any thread or work directory exists: a signal then removes the
  // live work directories, and a closed pipe fails a write instead of
  // killing the process.
  packprobe::platform::PrepareProcess();
  try {
    return packprobe::scan::RunScanProgram(std::vector<std::string>(argv, argv + argc));
  } catch (const std::exception&) {
    // No memory even for the report: the scan could not run. The message
    // needs no memory.
    std::fputs("packprobe-scan: out of memory; the scan could not run\n", stderr);
    return packprobe::gate::kScanSystemError;
  }
}
