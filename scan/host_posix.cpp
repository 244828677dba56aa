#include <unistd.h>

#include "scan/host.h"

namespace packprobe::scan {

bool StandardErrorIsTerminal() { return isatty(STDERR_FILENO) == 1; }

std::FILE* OpenOutputFile(const std::filesystem::path& path) { return std::fopen(path.c_str(), "wb"); }

std::FILE* OpenInputFile(const std::filesystem::path& path) { return std::fopen(path.c_str(), "rb"); }

void PrepareStandardStreams() {}

void RestoreStandardStreams() {}

}  // namespace packprobe::scan
