// What became of a component, as one table: every writer, reader, summary,
// policy step and fuzz target draws from it, so that adding an outcome is
// adding one row.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string_view>

#include "gate/exit_codes.h"

namespace packprobe::gate {

enum class Outcome {
  kPassed,
  kFiltered,  // rejected by --firmware-only or --software-only; not compared
  kStubOutOfRange,
  kSetupOutOfRange,
  kBothOutOfRange,
  // Against a release manifest (--manifest): the component differs from its
  // entry, or has none, or an entry has no component.
  kVersionChanged,   // a version is older or newer than the entry's, or its text differs
  kContentChanged,   // same versions and metadata, other bytes
  kMetadataChanged,  // display name, category or type differ
  kSignerChanged,    // the component file or its setup program is signed by another signer, or no longer or newly
  kUnexpected,       // no entry in the manifest
  kAbsent,           // an entry of the manifest with no component
  kMissing,          // status 4: nothing at the path
  kInvalid,          // status 5, metadata that does not load, or a warning the policy fails
  kSystemError,      // status 6, or the check itself could not run
};

// The kinds of outcome, each with its own exit code and its own way of
// being shown.
enum class OutcomeClass {
  kPass,        // passed
  kSkipped,     // filtered: not compared, no failure
  kOutOfRange,  // a version outside its range
  kDiffers,     // the release differs from its manifest
  kFailed,      // the component could not be checked, or is broken
};

// How JUnit shows a test case of the outcome.
enum class JunitElement { kNone, kSkipped, kFailure, kError };

// The colour of the outcome word in the text report on a terminal.
enum class OutcomeColor { kNone, kGreen, kYellow, kRed };

struct OutcomeRow {
  Outcome outcome;
  std::string_view name;  // in every report: "passed", "stub-out-of-range", ...
  OutcomeClass outcomeClass;
  int exitCode;  // the scan's exit code that the outcome calls for
  // The group of the summary line that counts it ("3 failed"), and the word
  // for one component where it differs ("1 system error").
  std::string_view total;
  std::string_view totalOfOne;
  JunitElement junit;
  OutcomeColor color;
};

inline constexpr std::array<OutcomeRow, 14> kOutcomes = {{
    {Outcome::kPassed, "passed", OutcomeClass::kPass, kScanPassed, "passed", "passed",
     JunitElement::kNone, OutcomeColor::kGreen},
    {Outcome::kFiltered, "filtered", OutcomeClass::kSkipped, kScanPassed, "filtered", "filtered",
     JunitElement::kSkipped, OutcomeColor::kNone},
    {Outcome::kStubOutOfRange, "stub-out-of-range", OutcomeClass::kOutOfRange, kScanOutOfRange,
     "failed", "failed", JunitElement::kFailure, OutcomeColor::kYellow},
    {Outcome::kSetupOutOfRange, "setup-out-of-range", OutcomeClass::kOutOfRange, kScanOutOfRange,
     "failed", "failed", JunitElement::kFailure, OutcomeColor::kYellow},
    {Outcome::kBothOutOfRange, "both-out-of-range", OutcomeClass::kOutOfRange, kScanOutOfRange,
     "failed", "failed", JunitElement::kFailure, OutcomeColor::kYellow},
    {Outcome::kVersionChanged, "version-changed", OutcomeClass::kDiffers, kScanDiffers,
     "differing from the manifest", "differing from the manifest", JunitElement::kFailure,
     OutcomeColor::kRed},
    {Outcome::kContentChanged, "content-changed", OutcomeClass::kDiffers, kScanDiffers,
     "differing from the manifest", "differing from the manifest", JunitElement::kFailure,
     OutcomeColor::kRed},
    {Outcome::kMetadataChanged, "metadata-changed", OutcomeClass::kDiffers, kScanDiffers,
     "differing from the manifest", "differing from the manifest", JunitElement::kFailure,
     OutcomeColor::kRed},
    {Outcome::kSignerChanged, "signer-changed", OutcomeClass::kDiffers, kScanDiffers,
     "differing from the manifest", "differing from the manifest", JunitElement::kFailure,
     OutcomeColor::kRed},
    {Outcome::kUnexpected, "unexpected", OutcomeClass::kDiffers, kScanDiffers,
     "differing from the manifest", "differing from the manifest", JunitElement::kFailure,
     OutcomeColor::kRed},
    {Outcome::kAbsent, "absent", OutcomeClass::kDiffers, kScanDiffers,
     "differing from the manifest", "differing from the manifest", JunitElement::kFailure,
     OutcomeColor::kRed},
    {Outcome::kMissing, "missing", OutcomeClass::kFailed, kScanFailed, "missing", "missing",
     JunitElement::kError, OutcomeColor::kRed},
    {Outcome::kInvalid, "invalid", OutcomeClass::kFailed, kScanFailed, "invalid", "invalid",
     JunitElement::kError, OutcomeColor::kRed},
    {Outcome::kSystemError, "system-error", OutcomeClass::kFailed, kScanFailed, "system errors",
     "system error", JunitElement::kError, OutcomeColor::kRed},
}};

inline constexpr std::size_t kOutcomeCount = kOutcomes.size();

// The row of an outcome.
constexpr const OutcomeRow& RowOf(Outcome outcome) {
  return kOutcomes[static_cast<std::size_t>(outcome)];
}

constexpr bool RowsInOrder() {
  for (std::size_t i = 0; i < kOutcomeCount; ++i) {
    if (static_cast<std::size_t>(kOutcomes[i].outcome) != i) return false;
  }
  return true;
}
static_assert(RowsInOrder(), "kOutcomes lists the outcomes in the enumeration's order");

constexpr std::string_view OutcomeName(Outcome outcome) { return RowOf(outcome).name; }
constexpr OutcomeClass ClassOf(Outcome outcome) { return RowOf(outcome).outcomeClass; }
constexpr int ScanExitCode(Outcome outcome) { return RowOf(outcome).exitCode; }

// A failure of any kind: neither passed nor filtered.
constexpr bool IsFailure(Outcome outcome) {
  return ClassOf(outcome) != OutcomeClass::kPass && ClassOf(outcome) != OutcomeClass::kSkipped;
}

// The outcome of a name; nothing for a name that is none.
std::optional<Outcome> OutcomeFromName(std::string_view name);

// The worse of two exit codes of a scan: a failed component (2) outranks a
// release that differs from its manifest (4), which outranks a version out
// of range (1), which outranks a pass (0); the codes of the whole run
// (3 nothing checked, 64 and up) outrank every record's.
int WorseExitCode(int a, int b);

}  // namespace packprobe::gate
