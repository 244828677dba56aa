// The command line: the options record and its parser.
#pragma once

#include <span>
#include <string>

#include "component/version_number.h"
#include "platform/host.h"

namespace packprobe {

struct CheckOptions {
  VersionNumber stubMin = 0;
  VersionNumber stubMax = 9999;
  VersionNumber setupMin = 0;
  VersionNumber setupMax = 9999;
  std::u16string componentName;  // the component path exactly as typed
  std::u16string componentList;  // only whether it is empty matters
  bool noLogo = false;
  bool verbose = true;  // no option turns it off
  bool help = false;
  bool firmwareOnly = false;
  bool softwareOnly = false;
};

// Fills options from the arguments (the first one, the program's name, is
// skipped) and returns whether the command line is valid. After false the
// record is partly filled and must not be used.
//
// Value options ("/stubmin", "/stubmax", "/setupmin", "/setupmax",
// "/componentlist") are found anywhere in an argument and take the text after
// its first colon; flag options must equal the whole argument. Matching is
// case-sensitive, and only "/" introduces an option. An argument that starts
// with neither "/" nor "-" is the component name, the last one winning.
//
// With slashStartsAbsolutePaths, an argument that starts with "/", holds a
// further "/" and is recognised by no option test is a component name too.
bool ParseCommandLine(std::span<const std::u16string> arguments, CheckOptions& options,
                      bool slashStartsAbsolutePaths = platform::kSlashStartsAbsolutePaths);

}  // namespace packprobe
