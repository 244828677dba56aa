// The check of one component: inspection, report, verdict and exit code.
#pragma once

#include "driver/options.h"

namespace packprobe {

// Inspects the component named in options, prints the report and the
// verdict, and returns the exit code.
int CheckComponent(const CheckOptions& options);

}  // namespace packprobe
