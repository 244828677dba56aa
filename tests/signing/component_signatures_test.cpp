// The signatures as one inspection gives them (ComponentInfo with trust):
// components built around the signed programs of the table that
// make_signed_files.sh makes, and the signed components of that table. The
// setup program's signatures must be the same whether it was captured as it
// streamed by or extracted (capture bound 0), and so must the component's.
#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "component/component_info.h"
#include "crypto/crypto.h"
#include "tests/support/component_builder.h"
#include "tests/support/pe_builder.h"
#include "tests/support/scratch_dir.h"
#include "tests/support/zip_writer.h"
#include "util/text.h"
#include "zip/zip_file.h"

namespace packprobe {
namespace {

using crypto::SignatureState;

const std::filesystem::path kSigned = std::filesystem::path(SIGNED_FILES_DIR) / "signed";
constexpr SignatureState kUnsigned = SignatureState::kUnsigned;
constexpr SignatureState kValid = SignatureState::kValid;
constexpr SignatureState kMismatch = SignatureState::kDigestMismatch;

struct Row {
  const char* what;
  // A program of the table stored as veksetup.exe in a component built
  // here, one byte of it inverted first when flip is set; or, with
  // component set, that file of the table checked as it is, or with 64
  // bytes of its first entry's data cut out when cut is set.
  const char* setup;
  std::optional<std::size_t> flip;
  const char* component;
  bool cut = false;
  SignatureState file;
  std::optional<SignatureState> setupState;  // nothing: not reached
  bool inspected;
};

const Row kRows[] = {
    {"signed setup program in an unsigned component", "setup-sha256.exe", {}, nullptr, false,
     kUnsigned, kValid, true},
    {"signed setup program of several megabytes, streamed in many chunks", "setup-large.exe", {},
     nullptr, false, kUnsigned, kValid, true},
    {"setup program signed with SHA-1 and a nested SHA-256", "nested.exe", {}, nullptr, false,
     kUnsigned, kValid, true},
    // The guess from the component (SHA-256, as from a component signed
    // with SHA-256) misses the setup program's SHA-1: one more pass.
    {"setup program signed with SHA-1 only", "sha1.exe", {}, nullptr, false, kUnsigned, kValid,
     true},
    {"setup program changed after signing", "setup-sha256.exe", 512, nullptr, false, kUnsigned,
     kMismatch, true},
    {"setup program whose signer has expired", "expired.exe", {}, nullptr, false, kUnsigned,
     SignatureState::kExpired, true},
    {"setup program whose signature value changed", "table-changed.exe", {}, nullptr, false,
     kUnsigned, SignatureState::kBadSignature, true},
    {"unsigned setup program", "unsigned.exe", {}, nullptr, false, kUnsigned, kUnsigned, true},
    {"signed component, its table after the archive", nullptr, {}, "sha256.exe", false, kValid,
     kUnsigned, true},
    {"signed component whose stub changed", nullptr, {}, "stub-changed.exe", false, kMismatch,
     kUnsigned, true},
    {"signed component whose archive changed", nullptr, {}, "archive-changed.exe", false,
     kMismatch, kUnsigned, true},
    {"signed component cut in its archive: judged though the inspection fails", nullptr, {},
     "sha256.exe", true, SignatureState::kMalformed, std::nullopt, false},
};

crypto::TrustSettings TestRoot() {
  const std::vector<std::string> anchors = {
      testsupport::ReadFile(std::filesystem::path(SIGNED_FILES_DIR) / "root.pem")};
  crypto::TrustSettings::Load load = crypto::TrustSettings::Read(anchors, {});
  EXPECT_TRUE(load.settings.has_value());
  return load.settings.value_or(crypto::TrustSettings());
}

std::string Facts(const std::optional<FileSignatures>& signatures) {
  if (!signatures) return "not checked";
  std::string text(crypto::SignatureStateName(signatures->state));
  for (const crypto::SignatureFacts& facts : signatures->signatures) {
    text += " [" + std::string(crypto::SignatureStateName(facts.state)) + " " + facts.fingerprint +
            " " + std::string(crypto::ChainCheckName(facts.chain)) + " nested " +
            std::to_string(facts.nested.size()) + "]";
  }
  return text;
}

class ComponentSignaturesTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_EQ(crypto::InitCryptography(), platform::HostFault::kNone); }
};

TEST_F(ComponentSignaturesTest, BothRoadsOfTheSetupProgramAndTheComponentAgree) {
  const crypto::TrustSettings trust = TestRoot();
  testsupport::ScratchDir dir;
  testsupport::ZipWriterEntry metadata;
  metadata.name = "kit.xml";
  metadata.data = testsupport::MetadataXml("Kit", "Software");
  const std::string stub = testsupport::BuildVersionedProgram({{u"Comments", u"3.0.3.0"}});

  for (const Row& row : kRows) {
    SCOPED_TRACE(row.what);
    std::filesystem::path file;
    if (row.component != nullptr) {
      // The table's components name their metadata signeddemo.xml.
      file = dir / "signeddemo.exe";
      std::string bytes = testsupport::ReadFile(kSigned / row.component);
      if (row.cut) bytes.erase(bytes.find(std::string("PK\x03\x04", 4)) + 100, 64);
      testsupport::WriteFile(file, bytes);
    } else {
      testsupport::ZipWriterEntry setup;
      setup.name = "veksetup.exe";
      setup.data = testsupport::ReadFile(kSigned / row.setup);
      ASSERT_FALSE(setup.data.empty());
      if (row.flip) setup.data[*row.flip] = static_cast<char>(setup.data[*row.flip] ^ 0xFF);
      file = dir / "kit.exe";
      testsupport::WriteFile(file, testsupport::BuildArchive({metadata, setup}, stub));
    }
    const std::u16string path = Utf8ToUtf16(file.string());
    InspectionOptions options;
    options.trust = &trust;
    options.now = std::time(nullptr);
    options.captureBound = 0;  // every setup program extracted
    const ComponentInfo extracted(&path, options);
    options.captureBound = kSetupCaptureBound;
    const ComponentInfo captured(&path, options);

    EXPECT_EQ(captured.inspected, row.inspected) << Utf16ToUtf8(captured.message);
    EXPECT_FALSE(captured.setupExtracted);
    EXPECT_EQ(Facts(captured.fileSignatures), Facts(extracted.fileSignatures));
    EXPECT_EQ(Facts(captured.setupSignatures), Facts(extracted.setupSignatures));
    ASSERT_TRUE(captured.fileSignatures.has_value());
    EXPECT_EQ(crypto::SignatureStateName(captured.fileSignatures->state),
              crypto::SignatureStateName(row.file))
        << captured.fileSignatures->problem;
    ASSERT_EQ(captured.setupSignatures.has_value(), row.setupState.has_value());
    if (row.setupState) {
      EXPECT_EQ(crypto::SignatureStateName(captured.setupSignatures->state),
                crypto::SignatureStateName(*row.setupState))
          << captured.setupSignatures->problem;
    }
    if (row.setupState == kValid || row.file == kValid) {
      const FileSignatures& valid = row.file == kValid ? *captured.fileSignatures
                                                       : *captured.setupSignatures;
      ASSERT_FALSE(valid.signatures.empty());
      EXPECT_EQ(crypto::ChainCheckName(valid.signatures[0].chain), "verified");
    }

    // Without trust nothing is checked.
    const ComponentInfo plain(&path);
    EXPECT_FALSE(plain.fileSignatures || plain.setupSignatures);
    EXPECT_EQ(plain.inspected, row.inspected);
  }
}

// The setup program's digests are taken in the first pass when the guess
// holds its algorithm, and in one more pass when it does not; the judgement
// is the same either way.
TEST_F(ComponentSignaturesTest, AnAlgorithmNotGuessedCostsOneMorePass) {
  const crypto::TrustSettings trust = TestRoot();
  testsupport::ScratchDir dir;
  testsupport::ZipWriterEntry metadata;
  metadata.name = "kit.xml";
  metadata.data = testsupport::MetadataXml("Kit", "Software");
  testsupport::ZipWriterEntry setup;
  setup.name = "veksetup.exe";
  setup.data = testsupport::ReadFile(kSigned / "sha1.exe");
  const std::filesystem::path file = dir / "kit.exe";
  testsupport::WriteFile(
      file, testsupport::BuildArchive({metadata, setup}, testsupport::BuildVersionedProgram({})));

  using crypto::DigestAlgorithm;
  const struct {
    std::vector<DigestAlgorithm> guess;
    int passes;
  } rows[] = {
      {{DigestAlgorithm::kSha1}, 1},
      {{DigestAlgorithm::kSha256, DigestAlgorithm::kSha1}, 1},
      {{DigestAlgorithm::kSha256}, 2},
      {{}, 2},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.guess.size());
    vekzip::ZIP_File archive;
    ASSERT_EQ(archive.Open(Utf8ToUtf16(file.string()), true), vekzip::ZIP_OK);
    vekzip::ZIP_FileEntry* entry = archive.FindEntry(u"veksetup.exe");
    ASSERT_NE(entry, nullptr);
    const SetupCapture capture = CaptureSetupVersion(*entry, kSetupCaptureBound, true, row.guess);
    ASSERT_EQ(capture.outcome, SetupCapture::Outcome::kRead);
    EXPECT_EQ(capture.passes, row.passes);
    ASSERT_TRUE(capture.authenticode.has_value());
    const FileSignatures judged = CheckSignatures(*capture.authenticode, trust, std::time(nullptr));
    EXPECT_EQ(crypto::SignatureStateName(judged.state), crypto::SignatureStateName(kValid))
        << judged.problem;
  }
}

}  // namespace
}  // namespace packprobe
