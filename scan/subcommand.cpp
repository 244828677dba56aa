#include "scan/subcommand.h"

#include <cstdio>
#include <sstream>

#include "scan/exit_codes.h"

namespace packprobe::scan {

std::optional<int> ParseSubcommandLine(CLI::App& app, const std::vector<std::string>& arguments,
                                       std::size_t first) {
  std::vector<const char*> argv;
  if (!arguments.empty()) argv.push_back(arguments[0].c_str());
  for (std::size_t i = first; i < arguments.size(); ++i) argv.push_back(arguments[i].c_str());
  try {
    app.parse(static_cast<int>(argv.size()), argv.data());
    return std::nullopt;
  } catch (const CLI::ParseError& e) {
    std::ostringstream out, err;
    const int code = app.exit(e, out, err);
    std::fputs(out.str().c_str(), stdout);
    std::fputs(err.str().c_str(), stderr);
    std::fflush(stderr);
    if (code != 0) return kScanUsage;
    // Help that could not be printed is no success either.
    return std::fflush(stdout) == 0 && !std::ferror(stdout) ? kScanPassed : kScanOutputError;
  }
}

}  // namespace packprobe::scan
