// Entry point of packprobe-scan on POSIX: the arguments are UTF-8 already.
#include <string>
#include <vector>

#include "scan/program.h"

int main(int argc, char** argv) {
  return packprobe::scan::RunScanProgram(std::vector<std::string>(argv, argv + argc));
}
