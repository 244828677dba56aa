// What the scan program needs of the host beyond the library.
#pragma once

#include <optional>
#include <string>

namespace packprobe::scan {

// True when standard error is a terminal (a console on Windows).
bool StandardErrorIsTerminal();

// True when standard output is a terminal (a console on Windows).
bool StandardOutputIsTerminal();

// The value of an environment variable as UTF-8; nothing when it is unset.
std::optional<std::string> EnvironmentVariable(const char* name);

// Makes standard input and output carry bytes untranslated, and a console
// show UTF-8, until RestoreStandardStreams.
void PrepareStandardStreams();
void RestoreStandardStreams();

}  // namespace packprobe::scan
