// The program as a function: arguments in, exit code out.
#pragma once

#include <span>
#include <string>

#include "component/exit_codes.h"

namespace packprobe {

// Runs one check from the arguments (the first is the program's name) and
// returns the process's exit code. Everything is printed through the
// console module.
int RunProgram(std::span<const std::u16string> arguments);

}  // namespace packprobe
