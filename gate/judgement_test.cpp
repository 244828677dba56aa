#include "gate/judgement.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace packprobe::gate {
namespace {

// An inspected component as its check found it.
ScanRecord Kit(std::string path, std::int32_t stub = 3030, std::optional<std::int32_t> setup = 7910) {
  ScanRecord r;
  r.path = "rel/" + path;
  r.relativePath = path;
  r.inspected = true;
  r.name = "Kit " + path;
  r.type = "software";
  r.stub = {"VEKStub 3.0.3.0", stub, "3.0.3.0", {}};
  if (setup) r.setup = {"7.9.1.0", *setup, "7.9.1.0", {}};
  r.setupPresent = setup.has_value();
  r.size = 10;
  r.sha256 = std::string(64, 'a');
  return r;
}

ScanRecord Failed(std::string path, int status, std::string code) {
  ScanRecord r = Kit(std::move(path));
  r.inspected = false;
  r.status = status;
  r.type.reset();
  r.reason = Reason{std::move(code), "open-archive", "broken", {}, 0};
  return r;
}

ScanRecord With(ScanRecord r, const std::function<void(ScanRecord&)>& change) {
  change(r);
  return r;
}

// What the judgement makes of one record (after an earlier twin where
// given), under the settings and a manifest of one entry, "kit.exe".
TEST(JudgementTest, EachRecordGetsItsOutcomeReasonAndExitCodes) {
  RunSettings ranges;
  ranges.criteria.stubMin = 3000;
  ranges.criteria.setupMax = 8000;
  RunSettings strict;
  strict.policy.strict = true;
  RunSettings errorOn;
  errorOn.policy.errorOn = {"setup-version-text"};
  errorOn.policy.ignore = {"stub-comments-tail"};
  RunSettings firmware;
  firmware.criteria.firmwareOnly = true;
  RunSettings manifest;
  manifest.manifest = "m.json";
  RunSettings softwareStrict = strict;
  softwareStrict.criteria.softwareOnly = true;
  const std::vector<ManifestEntry> entries = {EntryOfRecord(Kit("kit.exe"))};
  const Warning text{"setup-version-text", "odd", false};
  const Warning tail{"stub-comments-tail", "odd", false};

  const struct Row {
    const char* why;
    const RunSettings& settings;
    std::optional<ScanRecord> twin;  // judged first
    ScanRecord record;
    Outcome outcome;
    int exitCode;         // PACKPROBE's
    std::string reason;   // its code; "" for none
  } rows[] = {
      {"a pass", ranges, {}, Kit("kit.exe"), Outcome::kPassed, 0, ""},
      {"the stub below its range", ranges, {}, Kit("kit.exe", 2000), Outcome::kStubOutOfRange, 1, ""},
      {"both out", ranges, {}, Kit("kit.exe", 2000, 9000), Outcome::kBothOutOfRange, 3, ""},
      {"no setup program is never out of range", ranges, {}, Kit("kit.exe", 3030, {}), Outcome::kPassed, 0, ""},
      {"filtered before compared", firmware, {}, Kit("kit.exe", 2000), Outcome::kFiltered, 0, ""},
      {"missing", ranges, {}, Failed("kit.exe", 4, "component-missing"), Outcome::kMissing, 4, "component-missing"},
      {"a failed comparison replaces a status", ranges, {}, With(Failed("kit.exe", 5, "zip-crc-mismatch"),
                                                             [](ScanRecord& r) { r.stub.version = 0; }),
       Outcome::kInvalid, 1, "zip-crc-mismatch"},
      {"metadata that does not load is invalid, status 6", ranges, {}, Failed("kit.exe", 6, "metadata-load-syntax"),
       Outcome::kInvalid, 6, "metadata-load-syntax"},
      {"a path the system refuses for its length", ranges, {}, Failed("kit.exe", 4, "path-too-long"),
       Outcome::kSystemError, 4, "path-too-long"},
      {"a search record has its status for exit code", ranges, {},
       With(Failed("sub", 6, "folder-unreadable"), [](ScanRecord& r) { r.stub = {}; }), Outcome::kSystemError, 6,
       "folder-unreadable"},
      {"hashing failed after a good check", ranges, {},
       With(Kit("kit.exe"), [](ScanRecord& r) { r.reason = Reason{"hash-failed", "hash", "x", {}, 0}; }),
       Outcome::kSystemError, 0, "hash-failed"},
      {"a warning fails under --strict", strict, {}, With(Kit("kit.exe"), [&](ScanRecord& r) { r.warnings = {text}; }),
       Outcome::kInvalid, 0, "strict-warning"},
      {"a failure keeps its own reason under --strict", strict, {},
       With(Failed("kit.exe", 5, "zip-crc-mismatch"), [&](ScanRecord& r) { r.warnings = {text}; }), Outcome::kInvalid,
       5, "zip-crc-mismatch"},
      {"--error-on fails its warning", errorOn, {}, With(Kit("kit.exe"), [&](ScanRecord& r) { r.warnings = {text}; }),
       Outcome::kInvalid, 0, "error-on-warning"},
      {"an ignored warning fails nothing", errorOn, {},
       With(Kit("kit.exe"), [&](ScanRecord& r) { r.warnings = {tail}; }), Outcome::kPassed, 0, ""},
      {"a duplicate is a warning, failing under --strict", strict, Kit("a.exe"),
       With(Kit("b.exe"), [](ScanRecord& r) { r.name = "Kit a.exe"; }), Outcome::kInvalid, 0, "strict-warning"},
      {"a filtered twin is no duplicate", softwareStrict, With(Kit("a.exe"), [](ScanRecord& r) { r.type = "firmware"; }),
       With(Kit("b.exe"), [](ScanRecord& r) { r.name = "Kit a.exe"; }), Outcome::kPassed, 0, ""},
      {"the manifest's own component", manifest, {}, Kit("kit.exe"), Outcome::kPassed, 0, ""},
      {"a version text that changed while its number stayed", manifest, {},
       With(Kit("kit.exe"), [](ScanRecord& r) { r.stub.text = "VEKStub 3.0.3.0 rc1"; }), Outcome::kVersionChanged, 0,
       "version-changed"},
      {"other bytes", manifest, {}, With(Kit("kit.exe"), [](ScanRecord& r) { r.sha256 = std::string(64, 'b'); }),
       Outcome::kContentChanged, 0, "content-changed"},
      {"another name", manifest, {}, With(Kit("kit.exe"), [](ScanRecord& r) { r.name = "Other"; }),
       Outcome::kMetadataChanged, 0, "metadata-changed"},
      {"no entry", manifest, {}, Kit("new.exe"), Outcome::kUnexpected, 0, "unexpected"},
      {"beyond the default ranges, the manifest is the measure", manifest, {}, Kit("kit.exe", 3030, 99999),
       Outcome::kVersionChanged, 2, "version-changed"},
      {"a broken component outranks the manifest", manifest, {}, Failed("kit.exe", 5, "zip-crc-mismatch"),
       Outcome::kInvalid, 5, "zip-crc-mismatch"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    RunJudge judge(row.settings, row.settings.manifest.empty() ? nullptr : &entries);
    if (row.twin) {
      ScanRecord twin = *row.twin;
      judge.Judge(twin);
    }
    ScanRecord record = row.record;
    judge.Judge(record);
    EXPECT_EQ(OutcomeName(record.outcome), OutcomeName(row.outcome));
    EXPECT_EQ(record.exitCode, row.exitCode);
    EXPECT_EQ(record.reason ? record.reason->code : "", row.reason);
    EXPECT_EQ(judge.exitCode(), WorseExitCode(row.twin ? ScanExitCode(Outcome::kPassed) : 0, ScanExitCode(row.outcome)));
  }
}

// The run's own verdict after its records: the manifest's absent entries in
// the share and not excluded, then nothing found is no pass.
TEST(JudgementTest, TheRunEndsWithAbsentEntriesAndNothingCheckedOutranksAll) {
  std::vector<ManifestEntry> entries;
  for (const char* path : {"a.exe", "b.exe", "skip/c.exe", "d.exe"}) {
    ManifestEntry entry = EntryOfRecord(Kit(path));
    entries.push_back(entry);
  }
  RunSettings settings;
  settings.manifest = "m.json";
  RunJudge judge(settings, &entries, [](const std::string& path) { return path.starts_with("skip/"); });
  ScanRecord found = Kit("b.exe");
  judge.Judge(found);
  std::vector<std::string> absent;
  judge.Finish(1, "rel", [&](ScanRecord&& record) {
    EXPECT_EQ(record.outcome, Outcome::kAbsent);
    absent.push_back(record.path);
  });
  EXPECT_EQ(absent, (std::vector<std::string>{"rel/a.exe", "rel/d.exe"}));
  EXPECT_EQ(judge.exitCode(), kScanDiffers);
  EXPECT_EQ(judge.totals().Of(Outcome::kAbsent), 2u);

  for (const bool allowEmpty : {false, true}) {
    RunSettings empty;
    empty.allowEmpty = allowEmpty;
    RunJudge none(empty, nullptr);
    none.Finish(0, {}, [](ScanRecord&&) {});
    EXPECT_EQ(none.exitCode(), allowEmpty ? kScanPassed : kScanNothingChecked);
  }
}

TEST(JudgementTest, ExitCodesRankFailureOverDifferenceOverRange) {
  const int order[] = {kScanPassed, kScanOutOfRange, kScanDiffers, kScanFailed, kScanNothingChecked, kScanUsage};
  for (std::size_t i = 0; i < std::size(order); ++i) {
    for (std::size_t j = 0; j < std::size(order); ++j) {
      EXPECT_EQ(WorseExitCode(order[i], order[j]), order[std::max(i, j)]) << order[i] << " " << order[j];
    }
  }
}

}  // namespace
}  // namespace packprobe::gate
