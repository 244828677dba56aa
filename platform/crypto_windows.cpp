#include "platform/crypto.h"

namespace packprobe::platform {

HostFault InitCryptography() { return HostFault::kNone; }

}  // namespace packprobe::platform
