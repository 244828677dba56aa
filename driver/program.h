// The program as a function: arguments in, exit code out.
#pragma once

#include <span>
#include <string>

namespace packprobe {

// Exit code of an invalid command line.
inline constexpr int kExitInvalidCommandLine = 3;

// Runs one check from the arguments (the first is the program's name) and
// returns the process's exit code. Everything is printed through the
// console module.
int RunProgram(std::span<const std::u16string> arguments);

}  // namespace packprobe
