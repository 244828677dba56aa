// PACKPROBE's exit codes and the statuses of a failed inspection, defined
// once for both programs (packprobe-scan reports what PACKPROBE would
// return for each component).
#pragma once

namespace packprobe {

// Statuses of a failed inspection (ComponentInfo::status). A failed
// inspection that fails no comparison ends PACKPROBE with its status.
inline constexpr int kStatusMissing = 4;      // "The component specified does not exist."
inline constexpr int kStatusInvalid = 5;      // "A valid component was not passed."
inline constexpr int kStatusSystemError = 6;  // "A system error occurred during processing."

// Exit codes of PACKPROBE.
inline constexpr int kExitPassed = 0;  // passed, filtered out, help shown, or a list given
// The VEKStub version is out of its range; replaces a status.
inline constexpr int kExitStubOutOfRange = 1;
// The VEKSetup version is out of its range; added to what the rest gives.
inline constexpr int kExitSetupOutOfRange = 2;
inline constexpr int kExitInvalidCommandLine = 3;
// The check itself could not run (no memory, an unexpected failure of the
// system): the status of a system error.
inline constexpr int kExitSystemError = kStatusSystemError;

}  // namespace packprobe
