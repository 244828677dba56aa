#include "crypto/crypto.h"

namespace packprobe::crypto {

platform::HostFault InitCryptography() { return platform::HostFault::kNone; }

}  // namespace packprobe::crypto
