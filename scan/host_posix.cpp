#include <unistd.h>

#include <cstdlib>

#include "scan/host.h"

namespace packprobe::scan {

bool StandardErrorIsTerminal() { return isatty(STDERR_FILENO) == 1; }

bool StandardOutputIsTerminal() { return isatty(STDOUT_FILENO) == 1; }

std::optional<std::string> EnvironmentVariable(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

void PrepareStandardStreams() {}

void RestoreStandardStreams() {}

}  // namespace packprobe::scan
