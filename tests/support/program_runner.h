// Runs a program as a child process and collects what it printed.
#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace packprobe::testsupport {

struct ProgramResult {
  int exitCode = -1;   // -1 when the program did not exit normally
  std::string out;     // everything written to standard output
  std::string err;     // everything written to standard error
};

struct ProgramRun {
  std::filesystem::path program;
  std::vector<std::string> arguments;  // without the program's name
  std::filesystem::path workingDirectory;  // empty: the test's own
  std::map<std::string, std::string> environment;  // set on top of the test's own
};

// POSIX: childSetup runs in the child just before the program starts
// (limits, umask, a different standard output). Windows ignores it.
ProgramResult RunProgram(const ProgramRun& run, const std::function<void()>& childSetup = {});

// The directory of the source tree, from the PACKPROBE_SOURCE_DIR variable
// that the test registration sets.
std::filesystem::path SourceDir();

}  // namespace packprobe::testsupport
