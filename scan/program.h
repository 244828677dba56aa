// packprobe-scan as a function: arguments in, exit code out.
#pragma once

#include <string>
#include <vector>

namespace packprobe::scan {

// Runs a scan from the arguments (UTF-8; the first is the program's name),
// writing the report to standard output or the file named by -o, and
// progress and usage errors to standard error. Returns the exit code.
int RunScanProgram(const std::vector<std::string>& arguments);

}  // namespace packprobe::scan
