// The exit codes of packprobe-scan, one meaning each. The program's --help,
// the README and the man page list the same codes.
#pragma once

namespace packprobe::gate {

// Every component checked passed or was filtered out.
inline constexpr int kScanPassed = 0;
// Some version is out of range, and nothing worse.
inline constexpr int kScanOutOfRange = 1;
// Some component is missing or invalid, or a system error kept it from being
// checked.
inline constexpr int kScanFailed = 2;
// Nothing was checked: no component was found in what was named (without
// --allow-empty). A wrong artifact path must not pass a release.
inline constexpr int kScanNothingChecked = 3;
// The release differs from its manifest.
inline constexpr int kScanDiffers = 4;
// The command line is wrong (EX_USAGE).
inline constexpr int kScanUsage = 64;
// An input other than the components is cut or malformed (EX_DATAERR).
inline constexpr int kScanDataError = 65;
// The scan itself could not run: no memory (EX_OSERR).
inline constexpr int kScanSystemError = 71;
// A report could not be written or read back whole: a full disk, a closed
// pipe, an output that cannot be created (EX_IOERR).
inline constexpr int kScanOutputError = 74;

}  // namespace packprobe::gate
