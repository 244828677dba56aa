#include "scan/program.h"

#include <cstdio>
#include <string>

#include "crypto/crypto.h"
#include "gate/exit_codes.h"
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
  // Readied before any thread runs and before any digest, so that the
  // library never initialises itself later, where a failure could not be
  // reported.
  if (const platform::HostFault fault = crypto::InitCryptography(); fault != platform::HostFault::kNone) {
    std::fprintf(stderr, "packprobe-scan: the cryptography library could not be readied: %s\n",
                 std::string(platform::HostFaultText(fault)).c_str());
    return gate::kScanSystemError;
  }
  const unsigned cores = DefaultJobs();
  if (arguments.size() > 1) {
    for (const Subcommand& subcommand : kSubcommands) {
      if (arguments[1] == subcommand.name) return subcommand.run(arguments, cores);
    }
  }
  return RunScan(arguments, cores);
}

}  // namespace packprobe::scan
