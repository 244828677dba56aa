#include "driver/check.h"

namespace packprobe {

int CheckComponent(const CheckOptions&) { return 0; }

}  // namespace packprobe
