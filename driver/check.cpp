#include "driver/check.h"

#include <exception>
#include <memory>

#include "platform/console.h"

namespace packprobe {
namespace {

int CompareAndReport(const CheckOptions& options, const ComponentInfo& info) {
  int result = 0;
  if (!info.inspected) {
    result = info.status;
    PrintLine(info.message);
  }
  if (options.verbose) PrintComponentInfo(info);

  if (options.firmwareOnly && !info.isFirmware) {
    PrintLine(u"Not a firmware component.");
  } else if (options.softwareOnly && !info.isSoftware) {
    PrintLine(u"Not a software component.");
  } else {
    if (info.stubVersion < options.stubMin || info.stubVersion > options.stubMax) {
      PrintLine(u"VEKStub failed the version comparison.");
      result = 1;  // replaces a status code: the comparison's verdict comes first
    }
    if (info.setupVersion != kNoVersion &&
        (info.setupVersion < options.setupMin || info.setupVersion > options.setupMax)) {
      PrintLine(u"VEKSetup failed the version comparison.");
      result += 2;
    }
    if (result == 0) PrintLine(u"The component passed the validation check.");
  }
  return result;
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
    const auto info = std::make_unique<ComponentInfo>(&options.componentName);
    return CompareAndReport(options, *info);
  } catch (const std::exception&) {
    // Running out of memory is the one failure expected here; whatever it
    // is, the run ends as a system error rather than a crash.
    PrintLine(u"A system error occurred during processing.");
    return kExitSystemError;
  }
}

}  // namespace packprobe
