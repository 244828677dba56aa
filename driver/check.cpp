#include "driver/check.h"

#include <exception>
#include <memory>

#include "component/verdict.h"
#include "platform/console.h"

namespace packprobe {
namespace {

int CompareAndReport(const CheckOptions& options, const ComponentInfo& info) {
  const Verdict verdict = JudgeComponent(
      info, CheckCriteria{options.stubMin, options.stubMax, options.setupMin, options.setupMax,
                          options.firmwareOnly, options.softwareOnly});
  if (!info.inspected) PrintLine(info.message);
  if (options.verbose) PrintComponentInfo(info);

  for (const std::u16string_view line : VerdictLines(verdict)) PrintLine(line);
  return verdict.exitCode;
}

}  // namespace

void PrintComponentInfo(const ComponentInfo& info) {
  Print(u"Component name: " + info.displayName + u"\n");
  Print(u"Component file: " + info.componentFile + u"\n");
  Print(u"VEKStub Version: " + FormatVersionNumber(info.stubVersion) + u"\n");
  if (info.setupVersion == kNoVersion) {
    Print(u"VEKSetup Version: Component does not contain VEKSetup\n");
  } else {
    Print(u"VEKSetup Version: " + FormatVersionNumber(info.setupVersion) + u"\n");
  }
  if (info.isFirmware) Print(u"Component Type: Firmware\n");
  if (info.isSoftware) Print(u"Component Type: Software\n");
  Print(u"\n");
}

int CheckComponent(const CheckOptions& options) {
  try {
    // PACKPROBE reads the versions as it always has on this system: through
    // the system's version service where there is one of its own.
    const auto info = std::make_unique<ComponentInfo>(&options.componentName,
                                                      InspectionOptions::ForPackprobe());
    return CompareAndReport(options, *info);
  } catch (const std::exception&) {
    // Running out of memory is the one failure expected here; whatever it
    // is, the run ends as a system error rather than a crash.
    PrintLine(StatusMessage(kStatusSystemError));
    return kExitSystemError;
  }
}

}  // namespace packprobe
