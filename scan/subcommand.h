// The command line of a subcommand (merge, snapshot, diff), parsed alike.
#pragma once

#include <CLI/CLI.hpp>

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace packprobe::scan {

// Parses arguments[0] (the name it is run by) followed by arguments[first]
// onwards with app. Nothing when the subcommand is to run; otherwise the
// exit code once the help or the usage error was printed: 0 for help shown,
// 74 when it could not be written, 64 for a usage error.
std::optional<int> ParseSubcommandLine(CLI::App& app, const std::vector<std::string>& arguments,
                                       std::size_t first);

}  // namespace packprobe::scan
