// Readying the system's cryptography library.
#pragma once

#include "platform/host_fault.h"

namespace packprobe::crypto {

// Initialises what the digests (crypto/digest.h) and the signature checks
// (crypto/authenticode.h) use, once, at program start before any other
// thread runs: libcrypto on POSIX, so that it never initialises itself later
// inside a check (and fails there under memory pressure), with the
// code-signing purpose that chains are built for; nothing on Windows, whose
// libraries are ready when loaded. kNone when ready, else the fault (then no
// signature can be checked). Calling it again does nothing more.
platform::HostFault InitCryptography();

}  // namespace packprobe::crypto
