// Two roads to one answer, over generated releases: one run of the whole
// release, and its shares run apart and merged, give the same reports byte
// for byte in every format, with the same exit code; and a release compared
// with its own report shows no change, whatever policy judged it.
#include "scan/merge.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "component/version_number.h"
#include "gate/shares.h"
#include "gate/targets.h"
#include "release/diff.h"
#include "release/manifest_file.h"
#include "scan/judged_run.h"
#include "tests/support/scratch_dir.h"
#include "util/text.h"

namespace packprobe::scan {
namespace {

using gate::ScanRecord;
using testsupport::ReadFile;
using testsupport::ScratchDir;
using testsupport::WriteFile;

// A release: what the checks found, and how it is judged.
struct Release {
  std::vector<ScanRecord> found;  // in path order
  std::vector<gate::ManifestEntry> manifest;
  bool withManifest = false;
  gate::RunSettings settings;
  std::uint32_t shares = 1;
  PolicyOverride mergePolicy;  // merge's own policy (the shards ran with settings')
};

class Generator {
 public:
  explicit Generator(unsigned seed) : random_(seed) {}

  Release Make() {
    Release release;
    gate::RunSettings& s = release.settings;
    s.selection.paths = {"rel"};
    s.hash = Chance(2);
    release.withManifest = Chance(3);
    s.jobs = 2;
    s.shard.reset();
    s.allowEmpty = Chance(4);
    if (Chance(3)) s.criteria.stubMin = 3000;
    if (Chance(3)) s.criteria.setupMax = 8000;
    if (Chance(5)) {
      s.criteria.firmwareOnly = true;
    } else if (Chance(5)) {
      s.criteria.softwareOnly = true;
    }
    s.policy = RandomPolicy();
    s.signing.requireStub = Chance(4);
    s.signing.requireSetup = Chance(4);
    if (Chance(4)) s.signing.signers = {std::string(64, 'b')};
    if (Chance(3)) release.mergePolicy = RandomOverride();
    // Waivers of failures and warnings, some ended, some of nothing.
    for (std::uint32_t i = Below(4); i > 0; --i) {
      static const char* const kCodes[] = {"stub-out-of-range", "invalid", "zip-crc-mismatch",
                                           "stub-comments-tail", "duplicate-component", "unexpected"};
      static const char* const kPaths[] = {"rel/sub/**", "*kit*", "rel", "nowhere/*.exe"};
      s.policy.waivers.push_back({kPaths[Below(4)], gate::AbsoluteGeneric("."), kCodes[Below(6)], "known",
                                  Chance(3) ? "2020-01-01" : Chance(2) ? "" : "2099-12-31"});
    }
    if (Chance(4)) s.selection.exclude.push_back({"skip*", {}});
    release.shares = 1 + Below(8);
    const std::size_t count = Below(14);
    std::set<std::string> paths;
    for (std::size_t i = 0; i < count; ++i) {
      ScanRecord record = Found(s.hash || release.withManifest);
      if (!paths.insert(record.path).second) continue;
      // Now and then a copy elsewhere: a duplicate, maybe in another share.
      if (record.inspected && Chance(4)) {
        ScanRecord twin = record;
        twin.relativePath = "twin/" + record.relativePath;
        twin.path = "rel/" + twin.relativePath;
        if (paths.insert(twin.path).second) release.found.push_back(twin);
      }
      release.found.push_back(std::move(record));
    }
    std::sort(release.found.begin(), release.found.end(),
              [](const ScanRecord& a, const ScanRecord& b) { return a.path < b.path; });
    if (release.withManifest) {
      s.manifest = "release.manifest.json";
      for (const ScanRecord& record : release.found) {
        if (!record.inspected || record.reason || Chance(6)) continue;
        gate::ManifestEntry entry = gate::EntryOfRecord(record);
        switch (Below(7)) {
          case 0: entry.stub->version += 10; break;           // version-changed
          case 5: entry.signer = std::string(64, 'f'); break;  // signer-changed
          case 1: entry.sha256 = std::string(64, 'e'); break;  // content-changed
          case 2: entry.name += " old"; break;                 // metadata-changed
          case 3: entry.stub->text = "VEKStub 3.0.3.0 rc"; break;  // the same number, another text
          default: break;
        }
        release.manifest.push_back(entry);
      }
      for (std::size_t i = Below(4); i > 0; --i) {  // absent entries
        gate::ManifestEntry entry;
        entry.path = (Chance(2) ? "skipped/" : "gone/") + std::to_string(Below(1000)) + ".exe";
        entry.name = "Gone";
        entry.stub = gate::ManifestVersion{"VEKStub 3.0.3.0", 3030, "3.0.3.0"};
        entry.size = 10;
        entry.sha256 = std::string(64, 'a');
        if (std::none_of(release.manifest.begin(), release.manifest.end(),
                         [&](const gate::ManifestEntry& e) { return e.path == entry.path; })) {
          release.manifest.push_back(entry);
        }
      }
      std::sort(release.manifest.begin(), release.manifest.end(),
                [](const gate::ManifestEntry& a, const gate::ManifestEntry& b) { return a.path < b.path; });
    }
    return release;
  }

 private:
  bool Chance(unsigned in) { return Below(in) == 0; }
  std::uint32_t Below(std::uint32_t n) { return std::uniform_int_distribution<std::uint32_t>(0, n - 1)(random_); }

  std::vector<std::string> Codes() {
    std::vector<std::string> codes;
    for (const gate::WarningRow& row : gate::kWarnings) {
      if (Chance(3)) codes.emplace_back(row.code);
    }
    return codes;
  }

  gate::Policy RandomPolicy() {
    gate::Policy policy;
    policy.strict = Chance(3);
    policy.errorOn = Codes();
    for (const std::string& code : Codes()) {
      if (std::find(policy.errorOn.begin(), policy.errorOn.end(), code) == policy.errorOn.end()) {
        policy.ignore.push_back(code);
      }
    }
    return policy;
  }

  PolicyOverride RandomOverride() {
    PolicyOverride override;
    if (Chance(2)) override.strict = Chance(2);
    if (Chance(2)) override.errorOn = Codes();
    if (Chance(2)) {
      override.ignore.emplace();
      for (const std::string& code : Codes()) {
        if (!override.errorOn || std::find(override.errorOn->begin(), override.errorOn->end(), code) ==
                                     override.errorOn->end()) {
          override.ignore->push_back(code);
        }
      }
    }
    return override;
  }

  // Names that break naive writers and readers: separators of every format,
  // bytes that are not UTF-8, control characters.
  std::string Name() {
    static const char* const kNames[] = {"kit",    "Kit",     "a,b",      "q\"uote", "new\nline", "tab\tbed",
                                         "bad\xff", "back\\s", "pipe|x",  "per%cent", "::error::x", "www.host",
                                         "\x7f" "del", "\xc3\xa9t\xc3\xa9", "end\xe6\x97\xa5"};
    return std::string(kNames[Below(std::size(kNames))]) + std::to_string(Below(50));
  }

  ScanRecord Found(bool hashed) {
    ScanRecord r;
    const bool named = Chance(5);
    const std::string leaf = (Chance(6) ? "skip" : "") + Name() + ".exe";
    r.relativePath = named ? "n-" + leaf : (Chance(2) ? "sub/" : "") + leaf;
    r.path = named ? "named/" + r.relativePath : "rel/" + r.relativePath;
    r.file = Utf16ToUtf8(Utf8ToUtf16(leaf));
    r.elapsedMs = gate::RoundedMilliseconds(Below(100000) / 997.0);
    switch (Below(10)) {
      case 0:  // nothing there, or a folder that could not be searched
        if (Chance(2)) {
          r.status = kStatusMissing;
          r.reason = gate::Reason{Chance(2) ? "component-missing" : "path-too-long", "existence", "gone", {}, 0};
          r.stub.version = 0;
          r.stub.display = "0.";
        } else {
          r.status = Chance(2) ? kStatusInvalid : kStatusSystemError;
          r.reason = gate::Reason{r.status == kStatusInvalid ? "folder-loop" : "folder-unreadable", "search",
                                  "the folder cannot be searched", {}, 0};
        }
        return r;
      case 1:  // broken: invalid, or a metadata file that does not load
        r.status = Chance(2) ? kStatusInvalid : kStatusSystemError;
        r.reason = gate::Reason{r.status == kStatusInvalid ? "zip-crc-mismatch" : "metadata-load-syntax",
                                "open-archive", "broken", "kit.xml", -6};
        r.stub.version = 3030;
        r.stub.display = "3.0.3.0";
        r.setupPresent = true;
        r.size = 100 + Below(100);
        return r;
      default: break;
    }
    r.inspected = true;
    r.name = Chance(3) ? "Twin kit" : Utf16ToUtf8(Utf8ToUtf16(Name()));
    r.category = Chance(4) ? "Firmware - Disk" : "Software - Tools";
    if (!Chance(8)) r.type = r.category->starts_with("Firmware") ? "firmware" : "software";
    const std::int32_t stub = static_cast<std::int32_t>(2000 + 10 * Below(200));
    r.stub.version = stub;
    r.stub.text = "VEKStub " + Utf16ToUtf8(FormatVersionNumber(stub));
    r.stub.display = Utf16ToUtf8(FormatVersionNumber(stub));
    r.setupPresent = !Chance(5);
    if (*r.setupPresent) {
      const std::int32_t setup = static_cast<std::int32_t>(7000 + 100 * Below(30));
      r.setup.version = setup;
      r.setup.text = Utf16ToUtf8(FormatVersionNumber(setup));
      r.setup.display = *r.setup.text;
    }
    r.size = 1000 + Below(1000);
    if (hashed) r.sha256 = std::string(64, "0123456789abcdef"[Below(16)]);
    for (const char* code : {"stub-version-text", "stub-comments-tail", "setup-version-text", "setup-no-file-version"}) {
      if (Chance(6)) r.warnings.push_back({code, std::string("odd: ") + code});
    }
    if (hashed && Chance(25)) r.reason = gate::Reason{"hash-failed", "hash", "the file could not be read", {}, 0};
    r.signature = Signature();
    if (*r.setupPresent) r.setupSignature = Signature();
    return r;
  }

  // Signatures as a check finds them: none, unsigned, or one (with a
  // nested one now and then) in some state, by one of two signers.
  gate::SignatureReport Signature() {
    gate::SignatureReport report;
    if (Chance(3)) return report;
    const auto facts = [&] {
      crypto::SignatureFacts f;
      f.state = static_cast<crypto::SignatureState>(1 + Below(7));
      if (f.state != crypto::SignatureState::kValid) f.problem = "it does not hold";
      f.subject = Chance(2) ? "CN=Kit Maker,O=Kits\\, Inc." : "CN=Other \"Signer\"";
      f.issuer = "CN=Test CA";
      f.fingerprint = std::string(64, Chance(2) ? 'b' : 'c');
      f.algorithm = Chance(2) ? crypto::DigestAlgorithm::kSha256 : crypto::DigestAlgorithm::kSha1;
      if (Chance(2)) {
        f.timestamp = crypto::TimestampKind::kRfc3161;
        f.signingTime = 1433116800 + Below(100000);
      }
      f.chain = static_cast<crypto::ChainCheck>(Below(3));
      f.pin = static_cast<crypto::PinCheck>(Below(3));
      return f;
    };
    report.signatures.push_back(facts());
    if (Chance(4)) report.signatures.front().nested.push_back(facts());
    report.state = report.signatures.front().state;
    report.problem = report.signatures.front().problem;
    return report;
  }

  std::mt19937 random_;
};

// Every format a run writes, as files in folder named after stem.
OutputOptions EveryFormat(const std::filesystem::path& folder, const std::string& stem) {
  OutputOptions out;
  out.format = report::Format::kJsonl;
  out.output = (folder / (stem + ".jsonl")).string();
  for (const report::Format format : {report::Format::kText, report::Format::kCsv, report::Format::kJunit,
                                      report::Format::kGithub}) {
    out.also.emplace_back(format, (folder / (stem + "." + std::string(report::FormatName(format)))).string());
  }
  out.summary = (folder / (stem + ".md")).string();
  return out;
}

// Runs the found records through one judged run, as the scan does after its
// checks. The exit code.
int RunFound(const Release& release, const gate::RunSettings& settings, const std::vector<gate::ManifestEntry>* manifest,
             const std::string& manifestSha256, OutputOptions out) {
  ScanOptions options;
  options.run = settings;
  options.out = std::move(out);
  OutputFiles files("test");
  const report::RunHeader header{settings, "rel", manifestSha256, "2026-12-09"};
  JudgedRun run(options, header, manifest, files, ExcludedEntries(options.run.selection, header.folder));
  EXPECT_TRUE(run.Open());
  std::vector<std::string> keys;
  for (const ScanRecord& record : release.found) {
    keys.push_back(record.relativePath);
    if (gate::InShare(record.relativePath, settings.shard)) {
      EXPECT_TRUE(run.Add(ScanRecord(record)));
    }
  }
  return run.Finish(gate::DescribeFoundPaths(keys), 3, 1.25);
}

TEST(MergeTest, MergedSharesEqualOneRunAndAReleaseEqualsItsReport) {
  // More rounds: PACKPROBE_PROPERTY_ROUNDS=5000.
  const char* rounds = std::getenv("PACKPROBE_PROPERTY_ROUNDS");
  const unsigned count = rounds != nullptr ? static_cast<unsigned>(std::atoi(rounds)) : 500;
  std::set<gate::Outcome> seen;
  // Outputs are put in place with a sync each: on a memory file system
  // that costs nothing.
  std::error_code error;
  const ScratchDir dir(std::filesystem::is_directory("/dev/shm", error) ? std::filesystem::path("/dev/shm")
                                                                        : std::filesystem::temp_directory_path());
  for (unsigned seed = 1; seed <= count; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    const Release release = Generator(seed).Make();
    for (const char* summary : {"whole.md", "merged.md"}) std::filesystem::remove(dir / summary, error);
    std::string sha256;
    const std::vector<gate::ManifestEntry>* manifest = nullptr;
    std::optional<std::vector<gate::ManifestEntry>> loaded;
    if (release.withManifest) {
      WriteFile(dir / "release.manifest.json", release::ManifestText(release.manifest));
      std::string error;
      loaded = release::LoadManifest((dir / "release.manifest.json").string(), error, &sha256);
      ASSERT_TRUE(loaded) << error;
      manifest = &*loaded;
    }
    gate::RunSettings settings = release.settings;
    if (release.withManifest) settings.manifest = (dir / "release.manifest.json").string();

    // One run, judged under merge's policy.
    gate::RunSettings whole = settings;
    whole.policy = Overridden(whole.policy, release.mergePolicy);
    const int exitCode = RunFound(release, whole, manifest, sha256, EveryFormat(dir.path(), "whole"));

    // Its shares, judged under their own policy, then merged.
    MergeRequest merge;
    for (std::uint32_t k = 0; k < release.shares; ++k) {
      gate::RunSettings share = settings;
      if (release.shares > 1) share.shard = gate::Shard{k, release.shares};
      OutputOptions out;
      out.format = report::Format::kJsonl;
      out.output = (dir / ("share" + std::to_string(k) + ".jsonl")).string();
      RunFound(release, share, manifest, sha256, out);
      merge.inputs.push_back(out.output);
    }
    merge.policy = release.mergePolicy;
    merge.out = EveryFormat(dir.path(), "merged");
    ASSERT_EQ(Merge(merge), exitCode);
    for (const char* format : {"jsonl", "text", "csv", "junit", "github", "md"}) {
      SCOPED_TRACE(format);
      const std::string one = ReadFile(dir / ("whole." + std::string(format)));
      ASSERT_FALSE(one.empty());
      ASSERT_EQ(ReadFile(dir / ("merged." + std::string(format))), one);
    }

    // The release compared with its own report, and with its shares' reports
    // joined: no change.
    std::vector<gate::ManifestEntry> folder;
    for (const ScanRecord& record : release.found) folder.push_back(gate::EntryOfRecord(record));
    std::sort(folder.begin(), folder.end(),
              [](const gate::ManifestEntry& a, const gate::ManifestEntry& b) { return a.path < b.path; });
    std::string joined;
    for (const std::string& input : merge.inputs) joined += ReadFile(input);
    WriteFile(dir / "joined.jsonl", joined);
    for (const char* report : {"whole.jsonl", "joined.jsonl"}) {
      const release::Release read = release::LoadRelease((dir / report).string(), {}, {}, 1);
      ASSERT_EQ(read.error, "") << report;
      // Two records at one path (a named file and a found one) are one
      // release's clash, not this property's concern.
      if (read.entries.size() == folder.size()) {
        EXPECT_EQ(release::DiffReleases(folder, read.entries), std::vector<release::Change>{}) << report;
      }
    }
    std::istringstream lines(ReadFile(dir / "whole.jsonl"));
    for (std::string line; std::getline(lines, line);) {
      for (const gate::OutcomeRow& row : gate::kOutcomes) {
        if (line.find("\"outcome\":\"" + std::string(row.name) + "\"") != line.npos) seen.insert(row.outcome);
      }
    }
  }
  // The releases drew every outcome.
  EXPECT_EQ(seen.size(), gate::kOutcomeCount);
}

}  // namespace
}  // namespace packprobe::scan
