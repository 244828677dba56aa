// What the Windows runner of tests/support/program_runner.h adds: the
// child's output exactly as written, and the translation that RunProgram
// applies to it.
#pragma once

#include <string>
#include <string_view>

#include "tests/support/program_runner.h"

namespace packprobe::testsupport {

// Runs the program like RunProgram but returns its output bytes unchanged:
// "\r\n" line ends and text in the ANSI code page.
//
// Environment entries are set on top of the test's own. TMPDIR, the name
// the tests use for the child's temporary directory, also sets TMP and
// TEMP, where Windows programs look for it.
ProgramResult RunProgramRaw(const ProgramRun& run);

// A child's output as the tests compare it: read as a text stream ("\r\n"
// becomes "\n"; a lone "\n" stays) and converted from the ANSI code page to
// UTF-8.
std::string FromChildText(std::string_view bytes);

}  // namespace packprobe::testsupport
