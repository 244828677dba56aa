#include "driver/program.h"

#include "driver/check.h"
#include "driver/options.h"
#include "driver/usage.h"
#include "platform/console.h"

namespace packprobe {

int RunProgram(std::span<const std::u16string> arguments) {
  CheckOptions options;
  if (!ParseCommandLine(arguments, options)) {
    Print(u"Invalid command line parameters.\n");
    Print(u"\n");
    Print(u"\n");
    PrintUsage();
    return kExitInvalidCommandLine;
  }
  if (options.help) {
    PrintUsage();
    return 0;
  }
  if (!options.noLogo) PrintLogo();
  if (options.componentName.empty()) return 0;  // valid through a component list only
  return CheckComponent(options);
}

}  // namespace packprobe
