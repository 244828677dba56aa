#include <unistd.h>

#include "scan/host.h"

namespace packprobe::scan {

bool StandardErrorIsTerminal() { return isatty(STDERR_FILENO) == 1; }

void PrepareStandardStreams() {}

void RestoreStandardStreams() {}

}  // namespace packprobe::scan
