#include "gate/manifest_check.h"

#include <tuple>

#include "gate/policy.h"

namespace packprobe::gate {
namespace {

std::optional<ManifestVersion> VersionOfReport(const VersionReport& report) {
  if (!report.version) return std::nullopt;
  return ManifestVersion{report.text, *report.version, report.display.value_or("")};
}

std::string Direction(const std::optional<ManifestVersion>& before,
                      const std::optional<ManifestVersion>& now) {
  const std::int32_t a = before ? before->version : -1;
  const std::int32_t b = now ? now->version : -1;
  if (b > a) return "newer";
  if (b < a) return "older";
  return "the same number, another text";
}

std::string Quote(const std::optional<std::string>& text) {
  return text ? "\"" + *text + "\"" : "none";
}

std::string SizeText(const std::optional<std::uint64_t>& size) {
  return size ? std::to_string(*size) : std::string("?");
}

std::string SignerText(const std::string& fingerprint) {
  return fingerprint.empty() ? std::string("unsigned") : "signed by " + fingerprint;
}

}  // namespace

std::string SignerChange(const ManifestEntry& before, const ManifestEntry& now, const std::string& other) {
  std::string change;
  for (const auto& [what, was, is] : {std::tuple{"the component file", &before.signer, &now.signer},
                                      std::tuple{"veksetup.exe", &before.setupSigner, &now.setupSigner}}) {
    if (!*was || !*is || **was == **is) continue;
    if (!change.empty()) change += "; ";
    change += std::string(what) + " is " + SignerText(**is) + ", " + other + " " + SignerText(**was);
  }
  return change;
}

std::string DescribeVersion(const std::optional<ManifestVersion>& version) {
  if (!version) return "none";
  return version->display + " (" + std::to_string(version->version) + ")";
}

ManifestEntry EntryOfRecord(const ScanRecord& record) {
  ManifestEntry entry;
  entry.path = record.relativePath.empty() ? record.path : record.relativePath;
  entry.name = record.name;
  entry.category = record.category;
  entry.type = record.type;
  entry.size = record.size;
  entry.sha256 = record.sha256;
  if (record.reason) {
    entry.failure = record.reason->code;
  } else {
    entry.stub = VersionOfReport(record.stub);
    entry.setup = VersionOfReport(record.setup);
  }
  if (record.signature) entry.signer = record.signature->Signer();
  if (record.setupSignature) entry.setupSigner = record.setupSignature->Signer();
  return entry;
}

ManifestCheck::ManifestCheck(const std::vector<ManifestEntry>& entries) {
  for (const ManifestEntry& entry : entries) slots_.emplace(entry.path, Slot{&entry, false});
}

void ManifestCheck::Judge(ScanRecord& record, bool rangesApply) {
  const auto it = slots_.find(record.relativePath);
  if (it != slots_.end()) it->second.found = true;
  if (!record.inspected || record.outcome == Outcome::kFiltered ||
      ClassOf(record.outcome) == OutcomeClass::kFailed) {
    return;
  }
  if (!rangesApply && ClassOf(record.outcome) == OutcomeClass::kOutOfRange) {
    // Versions above 9.9.9.9 fail the default ranges; the entry is the
    // measure instead.
    record.outcome = Outcome::kPassed;
    record.stub.inRange.reset();
    record.setup.inRange.reset();
    record.rangeDetail.clear();
  }
  const auto differ = [&](Outcome outcome, std::string detail) {
    record.outcome = outcome;
    record.reason = Reason{std::string(OutcomeName(outcome)), std::string(kManifestStep),
                           std::move(detail), record.relativePath, 0};
  };
  if (it == slots_.end()) {
    differ(Outcome::kUnexpected, "the manifest has no entry \"" + record.relativePath + "\"");
    return;
  }
  const ManifestEntry& entry = *it->second.entry;
  const ManifestEntry now = EntryOfRecord(record);

  std::string versions;
  for (const auto& [label, before, after] :
       {std::tuple{"VEKStub", &entry.stub, &now.stub}, std::tuple{"VEKSetup", &entry.setup, &now.setup}}) {
    const bool sameText = (before->has_value() ? (*before)->text : std::nullopt) ==
                          (after->has_value() ? (*after)->text : std::nullopt);
    const bool sameNumber = before->has_value() == after->has_value() &&
                            (!before->has_value() || (*before)->version == (*after)->version);
    if (sameText && sameNumber) continue;
    if (!versions.empty()) versions += "; ";
    versions += std::string(label) + " " + DescribeVersion(*after) + " is " +
                Direction(*before, *after) + " than the manifest's " + DescribeVersion(*before);
    if (sameNumber) {
      versions += ": text " + Quote((*after)->text) + ", the manifest's " + Quote((*before)->text);
    }
  }
  if (!versions.empty()) {
    differ(Outcome::kVersionChanged, versions);
    return;
  }

  std::string metadata;
  for (const auto& [label, before, after] :
       {std::tuple{"display name", std::optional<std::string>(entry.name), std::optional<std::string>(now.name)},
        std::tuple{"category", entry.category, now.category},
        std::tuple{"type", entry.type, now.type}}) {
    if (before == after) continue;
    if (!metadata.empty()) metadata += "; ";
    metadata += std::string(label) + " " + Quote(after) + ", the manifest's " + Quote(before);
  }
  if (!metadata.empty()) {
    differ(Outcome::kMetadataChanged, metadata);
    return;
  }

  if (std::string signers = SignerChange(entry, now, "the manifest says"); !signers.empty()) {
    differ(Outcome::kSignerChanged, std::move(signers));
    return;
  }

  if (now.sha256 != entry.sha256 || now.size != entry.size) {
    differ(Outcome::kContentChanged,
           "the same versions but other bytes: SHA-256 " + now.sha256.value_or("none") + " (" +
               SizeText(now.size) + " bytes), the manifest's " + entry.sha256.value_or("none") +
               " (" + SizeText(entry.size) + " bytes)");
  }
}

void ManifestCheck::EmitAbsent(const std::string& folder,
                               const std::function<bool(const std::string&)>& wanted,
                               const std::function<void(ScanRecord&&)>& emit) const {
  for (const auto& [path, slot] : slots_) {
    if (slot.found || !wanted(path)) continue;
    const ManifestEntry& entry = *slot.entry;
    ScanRecord record;
    record.path = folder.empty() ? path : folder.back() == '/' ? folder + path : folder + "/" + path;
    record.relativePath = path;
    record.outcome = Outcome::kAbsent;
    record.status = kStatusMissing;
    record.exitCode = kStatusMissing;
    record.name = entry.name;
    record.category = entry.category;
    record.type = entry.type;
    record.reason = Reason{std::string(OutcomeName(Outcome::kAbsent)), std::string(kManifestStep),
                           "the manifest holds \"" + path + "\" (" + entry.name + ", VEKStub " +
                               DescribeVersion(entry.stub) + ", VEKSetup " +
                               DescribeVersion(entry.setup) + "), but it was not found",
                           path, 0};
    emit(std::move(record));
  }
}

}  // namespace packprobe::gate
