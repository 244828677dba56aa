// The check of one component: inspection, report, verdict and exit code.
#pragma once

#include "component/component_info.h"
#include "component/exit_codes.h"
#include "driver/options.h"

namespace packprobe {

// Inspects the component named in options, prints the failure message of a
// failed inspection, the information block, the filter or comparison
// messages and the verdict, and returns the exit code: the status of a
// failed inspection (or 0), replaced by 1 when the VEKStub version is out of
// range, plus 2 when the VEKSetup version is.
int CheckComponent(const CheckOptions& options);

// Prints the component information block, closed by an empty line.
void PrintComponentInfo(const ComponentInfo& info);

}  // namespace packprobe
