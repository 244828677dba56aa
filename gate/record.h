// The record of one component in a run: what its check found, and what the
// run's judgement made of it. Records know no format; the reports show them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "component/component_info.h"
#include "crypto/authenticode.h"
#include "gate/outcome.h"

namespace packprobe::gate {

struct VersionReport {
  std::optional<std::string> text;      // the raw version string read, when one was
  std::optional<std::int32_t> version;  // the number compared; none: no setup program
  std::optional<std::string> display;   // as PACKPROBE shows it ("3.0.3.0", "3.0.")
  std::optional<bool> inRange;          // judged; none when no comparison ran
  bool operator==(const VersionReport&) const = default;
};

struct Reason {
  std::string code;     // stable machine code ("zip-crc-mismatch", "component-missing", ...)
  std::string step;     // where: an inspection step ("open-archive"), "search", or the judgement's
  std::string detail;   // one English sentence
  std::string subject;  // the entry or file concerned; may be empty
  int layerResult = 0;  // the failing layer's own result code; 0 when none
  bool operator==(const Reason&) const = default;
};

struct Warning {
  std::string code;
  std::string detail;
  // Dropped by the policy (--ignore): kept in the record so that a merge
  // can judge under another policy, but it fails nothing, counts nowhere
  // and only the JSON Lines report shows it.
  bool ignored = false;
  // Waived (gate/run_settings.h): why; empty when not. A waived warning
  // fails nothing and counts apart.
  std::string waived = {};
  bool operator==(const Warning&) const = default;
};

// The waiver that took a failure off the gate.
struct Waived {
  std::string code;    // what it waives
  std::string reason;  // why
  std::string until;   // "YYYY-MM-DD" or empty
  std::string path;    // its pattern
  bool operator==(const Waived&) const = default;
};

// The Authenticode signatures of one program file, as its check found them.
struct SignatureReport {
  // kUnsigned; kMalformed for a table that cannot be read (problem says
  // how); else the state of the first signature, which Windows goes by.
  crypto::SignatureState state = crypto::SignatureState::kUnsigned;
  std::string problem;
  std::vector<crypto::SignatureFacts> signatures;  // one per signature of the table, in order

  // The signing certificate's fingerprint of the first signature, which
  // names who signed the file; empty when it names none.
  const std::string& Signer() const;
  bool operator==(const SignatureReport&) const = default;
};

struct ScanRecord {
  // --- What the check found. A report keeps all of it, so that a merge
  // reads it back and judges it again exactly as the run did.
  std::string path;  // as named or found (the report's "path"), raw bytes
  std::string file;  // the component file name ("kit.exe"), empty when not inspected
  // The path relative to the folder named, with "/" between its parts, or
  // the file name for a file named directly: the key of a manifest entry
  // and of the shares.
  std::string relativePath;
  int status = 0;          // the inspection's status: 0, 4, 5 or 6
  bool inspected = false;  // the inspection ran to its end (status 0)
  VersionReport stub;      // stub.version is set exactly when an inspection ran
  VersionReport setup;
  std::optional<bool> setupPresent;  // none: the inspection stopped before it could tell
  std::string name;                  // English display name
  std::optional<std::string> category;
  std::optional<std::string> type;      // "firmware", "software", or none
  std::optional<std::uint64_t> size;    // the file's size; none when it could not be read
  std::optional<std::string> sha256;    // 64 lowercase hex digits; only with hashing on
  // The signatures of the component file and of its setup program; none
  // when they were not checked (the check stopped before, or the program
  // is absent).
  std::optional<SignatureReport> signature;
  std::optional<SignatureReport> setupSignature;
  std::optional<Reason> reason;         // why the check failed; after judgement, the shown reason
  std::vector<Warning> warnings;        // about the component itself; the judgement adds its own
  double elapsedMs = 0;                 // to the microsecond

  // --- The judgement (gate/judgement.h).
  Outcome outcome = Outcome::kSystemError;
  // A failure that a waiver took off the gate: the outcome stays, it fails
  // nothing, and the totals count it apart.
  std::optional<Waived> waived;
  int exitCode = 0;  // what PACKPROBE returns for the same file and ranges
  std::string verdictMessage;  // PACKPROBE's verdict lines, joined
  // For a version out of its range: which, and the range ("VEKStub 2.0.0.0
  // (2000) is outside its range 3.0.0.0 to 9.9.9.9 (3000 to 9999)").
  std::string rangeDetail;

  bool operator==(const ScanRecord&) const = default;
};

// The record of an inspected component: what it found, not yet judged. The
// size and digest are those the inspection took (InspectionOptions::digest).
ScanRecord FoundRecord(std::string path, std::string relativePath, const ComponentInfo& info,
                       bool hashed);

// The record of a component whose check could not run at all.
ScanRecord CheckFailedRecord(std::string path, std::string relativePath, std::string detail);

// The record of an entry that the search could not hand to the check (a
// folder that cannot be listed, a link back to a folder being searched):
// status 5 (invalid) or 6 (a system error).
ScanRecord SearchRecord(std::string path, std::string relativePath, int status, std::string code,
                        std::string detail);

// A time as records keep it: to the microsecond, so that every report
// shows one value and a report read back gives it again.
double RoundedMilliseconds(double milliseconds);

// Four one-digit parts ("3.0.3.0"): the only version text whose number
// does not misrepresent it.
bool IsPlainVersionText(std::u16string_view text);

}  // namespace packprobe::gate
