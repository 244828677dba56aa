#include "scan/program.h"


#include "scan/commands.h"
#include "scan/host.h"

namespace packprobe::scan {
namespace {

// Subcommands: "packprobe-scan NAME ..." runs the function with the
// arguments from NAME on. A folder named like a subcommand is named "./NAME".
struct Subcommand {
  const char* name;
  int (*run)(const std::vector<std::string>& arguments, unsigned defaultJobs);
};
constexpr Subcommand kSubcommands[] = {
    {"merge", RunMerge},
    {"snapshot", RunSnapshot},
    {"diff", RunDiff},
};

}  // namespace

int RunScanProgram(const std::vector<std::string>& arguments) {
  const unsigned cores = DefaultJobs();
  if (arguments.size() > 1) {
    for (const Subcommand& subcommand : kSubcommands) {
      if (arguments[1] == subcommand.name) return subcommand.run(arguments, cores);
    }
  }
  return RunScan(arguments, cores);
}

}  // namespace packprobe::scan
