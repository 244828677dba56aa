// The trust that a run checks signatures against: the PEM files and the
// pinned signers the user named, read once before any check starts.
#pragma once

#include <ctime>
#include <optional>
#include <string>

#include "crypto/authenticode.h"
#include "gate/run_settings.h"

namespace packprobe::scan {

struct TrustLoad {
  std::optional<crypto::TrustSettings> settings;
  std::string usageError;  // a file that cannot be read or holds no certificate
  std::string systemError;  // the cryptography library ran out of memory
};

// Reads the trust anchors of signing (the library readied at program start).
TrustLoad LoadTrust(const gate::SigningPolicy& signing);

// The time certificates are judged at when a signature has no timestamp.
inline std::int64_t Now() { return static_cast<std::int64_t>(std::time(nullptr)); }

}  // namespace packprobe::scan
