// Signatures end to end through packprobe-scan: the signed components of the
// table that make_signed_files.sh makes, each under the name its metadata
// gives, and signed setup programs inside an unsigned component, scanned as
// one release with the test root trusted. Each state agrees with the verdict
// `osslsigncode verify` gave; the signing policy fails what it should, with
// its own reasons, in every format; a manifest pins the signers, and diff
// names a signer that changed.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/component_builder.h"
#include "tests/support/pe_builder.h"
#include "tests/support/program_runner.h"
#include "tests/support/scratch_dir.h"
#include "tests/support/zip_writer.h"

namespace packprobe {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;
using testsupport::ReadFile;
using testsupport::WriteFile;

const fs::path kFiles = SIGNED_FILES_DIR;

struct Row {
  const char* folder;  // in the release; named after the file of the table
  const char* component;  // a component of the table, or nullptr
  const char* setup;      // else: a program of the table as veksetup.exe of an unsigned component
  const char* stub;       // the states the scan must give
  const char* setupState;
  // Under --require-signed stub,setup --signer (the test signer): the
  // reason it fails with, or nullptr when it passes.
  const char* refused;
  bool flip = false;  // one byte of the setup program's code inverted after signing
};

const Row kRows[] = {
    {"unsigned", "unsigned.exe", nullptr, "unsigned", "unsigned", "stub-unsigned"},
    {"sha256", "sha256.exe", nullptr, "valid", "unsigned", "setup-unsigned"},
    {"sha1", "sha1.exe", nullptr, "valid", "unsigned", "setup-unsigned"},
    {"timestamped", "timestamped.exe", nullptr, "valid", "unsigned", "stub-signer-not-pinned"},
    {"expired", "expired.exe", nullptr, "expired", "unsigned", "stub-signature-invalid"},
    {"untrusted", "untrusted.exe", nullptr, "untrusted", "unsigned", "stub-signature-invalid"},
    {"other-signer", "other-signer.exe", nullptr, "valid", "unsigned", "stub-signer-not-pinned"},
    {"stub-changed", "stub-changed.exe", nullptr, "digest-mismatch", "unsigned", "stub-signature-invalid"},
    {"archive-changed", "archive-changed.exe", nullptr, "digest-mismatch", "unsigned",
     "stub-signature-invalid"},
    {"table-changed", "table-changed.exe", nullptr, "bad-signature", "unsigned", "stub-signature-invalid"},
    {"removed", "removed.exe", nullptr, "unsigned", "unsigned", "stub-unsigned"},
    {"nested", "nested.exe", nullptr, "valid", "unsigned", "setup-unsigned"},
    {"signed-setup", nullptr, "setup-sha256.exe", "unsigned", "valid", "stub-unsigned"},
    {"changed-setup", nullptr, "setup-sha256.exe", "unsigned", "digest-mismatch", "stub-unsigned", true},
};

class ScanSignaturesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::istringstream verdicts(ReadFile(kFiles / "verdicts.txt"));
    for (std::string file, verdict; verdicts >> file >> verdict;) verdicts_[file] = verdict;
    ASSERT_FALSE(verdicts_.empty());
    testsupport::ZipWriterEntry metadata;
    metadata.name = "signeddemo.xml";
    metadata.data = testsupport::MetadataXml("Signed Demo", "Software - Demonstration");
    const std::string stub = testsupport::BuildVersionedProgram({{u"Comments", u"VEKStub 3.0.3.0"}});
    for (const Row& row : kRows) {
      fs::create_directories(dir_ / "rel" / row.folder);
      const fs::path file = dir_ / "rel" / row.folder / "signeddemo.exe";
      if (row.component != nullptr) {
        WriteFile(file, ReadFile(kFiles / "signed" / row.component));
      } else {
        testsupport::ZipWriterEntry setup;
        setup.name = "veksetup.exe";
        setup.data = ReadFile(kFiles / "signed" / row.setup);
        if (row.flip) setup.data[512] = static_cast<char>(setup.data[512] ^ 0xFF);
        WriteFile(file, testsupport::BuildArchive({metadata, setup}, stub));
      }
    }
  }

  // Every component of the release has the same name and versions: the
  // duplicates are not what these tests look at.
  testsupport::ProgramResult Scan(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(),
                     {"--trust", (kFiles / "root.pem").string(), "--ignore", "duplicate-component"});
    return testsupport::RunProgram({PACKPROBE_SCAN_EXE, arguments, dir_.path(), {}});
  }

  // The records of a JSON Lines report by the folder of their path.
  static std::map<std::string, Json> Records(const std::string& jsonl) {
    std::map<std::string, Json> records;
    std::istringstream lines(jsonl);
    for (std::string line; std::getline(lines, line);) {
      const Json json = Json::parse(line);
      if (json.contains("relative_path")) {
        const std::string path = json["relative_path"];
        records[path.substr(0, path.find('/'))] = json;
      }
    }
    return records;
  }

  testsupport::ScratchDir dir_;
  std::map<std::string, std::string> verdicts_;
};

TEST_F(ScanSignaturesTest, EveryRowAgreesWithTheReferenceInEveryFormatAndThePolicyRefusesWhatItShould) {
  const testsupport::ProgramResult plain = Scan({"--format", "jsonl", "-o", "plain.jsonl", "--also",
                                                 "text:plain.txt", "--also", "csv:plain.csv", "--also",
                                                 "junit:plain.xml", "--summary", "plain.md", "rel"});
  // Warnings of signatures that do not hold fail nothing by themselves.
  ASSERT_EQ(plain.exitCode, 0) << plain.err;
  const std::map<std::string, Json> records = Records(ReadFile(dir_ / "plain.jsonl"));
  ASSERT_EQ(records.size(), std::size(kRows));
  const std::string text = ReadFile(dir_ / "plain.txt");
  const std::string csv = ReadFile(dir_ / "plain.csv");
  const std::string junit = ReadFile(dir_ / "plain.xml");
  const std::string summary = ReadFile(dir_ / "plain.md");
  const std::string signer = [] {
    std::string fingerprint = ReadFile(kFiles / "signer.fingerprint");
    return fingerprint.substr(0, 64);
  }();
  for (const Row& row : kRows) {
    SCOPED_TRACE(row.folder);
    const Json& record = records.at(row.folder);
    EXPECT_EQ(record["outcome"], "passed") << record.dump();
    EXPECT_EQ(record["signatures"]["stub"]["state"], row.stub);
    EXPECT_EQ(record["signatures"]["setup"]["state"], row.setupState);
    if (row.component != nullptr) {
      EXPECT_EQ(std::string(row.stub) == "valid", verdicts_.at(row.component) == "valid");
    }
    std::size_t broken = 0;
    for (const std::string state : {row.stub, row.setupState}) broken += state != "unsigned" && state != "valid";
    std::size_t warnings = 0;
    for (const Json& warning : record["warnings"]) warnings += warning["ignored"] == false;
    EXPECT_EQ(warnings, broken) << record["warnings"].dump();
    // Who signed, in every format.
    for (const char* which : {"stub", "setup"}) {
      const Json& signatures = record["signatures"][which]["signatures"];
      if (signatures.empty()) continue;
      const std::string fingerprint = signatures[0]["fingerprint"];
      EXPECT_NE(csv.find(fingerprint), std::string::npos);
      EXPECT_NE(text.find(fingerprint), std::string::npos);
      EXPECT_NE(junit.find(fingerprint), std::string::npos);
      EXPECT_NE(summary.find(fingerprint), std::string::npos);
    }
  }
  EXPECT_EQ(records.at("nested")["signatures"]["stub"]["signatures"][0]["nested"].size(), 1u);
  EXPECT_EQ(records.at("timestamped")["signatures"]["stub"]["signatures"][0]["signing_time"],
            "2015-06-01T00:00:00Z");
  EXPECT_EQ(records.at("sha256")["signatures"]["stub"]["signatures"][0]["chain"], "verified");

  const testsupport::ProgramResult strict =
      Scan({"--format", "jsonl", "--require-signed", "stub,setup", "--signer", signer, "rel"});
  EXPECT_EQ(strict.exitCode, 2) << strict.err;
  for (const auto& [folder, record] : Records(strict.out)) {
    const Row& row = *std::find_if(std::begin(kRows), std::end(kRows),
                                   [&](const Row& r) { return folder == r.folder; });
    SCOPED_TRACE(folder);
    ASSERT_EQ(record["outcome"], row.refused ? "invalid" : "passed");
    if (row.refused) {
      EXPECT_EQ(record["reason"]["code"], row.refused);
    }
  }
}

TEST_F(ScanSignaturesTest, AManifestPinsTheSignersAndDiffNamesTheChange) {
  const testsupport::ProgramResult snapshot =
      testsupport::RunProgram({PACKPROBE_SCAN_EXE, {"snapshot", "-o", "release.json", "rel"}, dir_.path(), {}});
  ASSERT_EQ(snapshot.exitCode, 0) << snapshot.err;
  EXPECT_EQ(Scan({"--manifest", "release.json", "rel"}).exitCode, 0);
  // Another signer, the same versions and metadata.
  WriteFile(dir_ / "rel/sha256/signeddemo.exe", ReadFile(kFiles / "signed/other-signer.exe"));
  const testsupport::ProgramResult check = Scan({"--format", "jsonl", "--manifest", "release.json", "rel"});
  EXPECT_EQ(check.exitCode, 4) << check.err;
  const std::map<std::string, Json> records = Records(check.out);
  EXPECT_EQ(records.at("sha256")["outcome"], "signer-changed");
  EXPECT_EQ(records.at("sha1")["outcome"], "passed");
  const testsupport::ProgramResult diff =
      testsupport::RunProgram({PACKPROBE_SCAN_EXE, {"diff", "release.json", "rel"}, dir_.path(), {}});
  EXPECT_EQ(diff.exitCode, 1) << diff.err;
  EXPECT_NE(diff.out.find("signer-changed"), std::string::npos) << diff.out;
  EXPECT_NE(diff.out.find("sha256/signeddemo.exe"), std::string::npos) << diff.out;
}

}  // namespace
}  // namespace packprobe
