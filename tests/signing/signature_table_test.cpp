// The signature check over files signed by a real signing tool: the table
// that make_signed_files.sh makes once per test run (see CMakeLists.txt),
// each row read by position (CheckFileSignatures) and again as a stream in
// odd chunks (AuthenticodeDigester), which must agree, and each row whose
// trust is the test root against the verdict `osslsigncode verify` gave.
#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "pe/authenticode.h"
#include "crypto/crypto.h"
#include "tests/support/program_runner.h"
#include "tests/support/scratch_dir.h"

namespace packprobe {
namespace {

using crypto::ChainCheck;
using crypto::DigestAlgorithm;
using crypto::PinCheck;
using crypto::SignatureFacts;
using crypto::SignatureState;
using crypto::TimestampKind;

const std::filesystem::path kFiles = SIGNED_FILES_DIR;

std::string Trimmed(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

// How a row states trust.
enum class Trust {
  kRoot,        // the test root as the one anchor
  kNone,        // no anchors
  kPinSigner,   // the root, and the test signer pinned by fingerprint
  kPinSubject,  // the root, and the test signer pinned by subject
};

struct Row {
  const char* file;
  Trust trust;
  SignatureState state;
  const char* why;
  std::optional<DigestAlgorithm> algorithm = std::nullopt;
  ChainCheck chain = ChainCheck::kNotVerified;
  PinCheck pin = PinCheck::kNoPins;
  std::optional<std::int64_t> signingTime = std::nullopt;
  std::vector<SignatureState> nested = {};
};

constexpr const char* kSigner = "O=PackProbe Tests,CN=PackProbe Test Signer";
constexpr const char* kIntermediate = "O=PackProbe Tests,CN=PackProbe Test CA";
constexpr std::int64_t kIn2015 = 1433116800;  // 2015-06-01, the timestamp's time

const Row kRows[] = {
    {"unsigned.exe", Trust::kRoot, SignatureState::kUnsigned, "no certificate table"},
    {"sha256.exe", Trust::kRoot, SignatureState::kValid, "signed, chained to the root",
     DigestAlgorithm::kSha256, ChainCheck::kVerified},
    {"sha256.exe", Trust::kNone, SignatureState::kValid, "no anchors: the chain is not verified",
     DigestAlgorithm::kSha256, ChainCheck::kNotVerified},
    {"sha256.exe", Trust::kPinSigner, SignatureState::kValid, "pinned by fingerprint",
     DigestAlgorithm::kSha256, ChainCheck::kVerified, PinCheck::kPinned},
    {"sha256.exe", Trust::kPinSubject, SignatureState::kValid, "pinned by subject",
     DigestAlgorithm::kSha256, ChainCheck::kVerified, PinCheck::kPinned},
    {"other-signer.exe", Trust::kPinSigner, SignatureState::kValid,
     "another signer is a flag, not a state", DigestAlgorithm::kSha256, ChainCheck::kVerified,
     PinCheck::kOtherSigner},
    {"sha1.exe", Trust::kRoot, SignatureState::kValid, "SHA-1", DigestAlgorithm::kSha1,
     ChainCheck::kVerified},
    {"setup-sha256.exe", Trust::kRoot, SignatureState::kValid, "a bare setup program",
     DigestAlgorithm::kSha256, ChainCheck::kVerified},
    {"timestamped.exe", Trust::kRoot, SignatureState::kValid,
     "the signer has expired since, but the timestamp falls in its window",
     DigestAlgorithm::kSha256, ChainCheck::kVerified, PinCheck::kNoPins, kIn2015},
    {"timestamped.exe", Trust::kNone, SignatureState::kValid,
     "without anchors the signer's window is still judged at the timestamp",
     DigestAlgorithm::kSha256, ChainCheck::kNotVerified, PinCheck::kNoPins, kIn2015},
    {"expired.exe", Trust::kRoot, SignatureState::kExpired, "expired, no timestamp: judged now",
     DigestAlgorithm::kSha256, ChainCheck::kFailed},
    {"expired.exe", Trust::kNone, SignatureState::kExpired, "the window alone, without anchors",
     DigestAlgorithm::kSha256, ChainCheck::kNotVerified},
    {"untrusted.exe", Trust::kRoot, SignatureState::kUntrusted, "a stranger root",
     DigestAlgorithm::kSha256, ChainCheck::kFailed},
    {"not-code-signing.exe", Trust::kRoot, SignatureState::kUntrusted,
     "a signer certified for servers, not for code", DigestAlgorithm::kSha256, ChainCheck::kFailed},
    {"stub-changed.exe", Trust::kRoot, SignatureState::kDigestMismatch, "a byte of the stub's code",
     DigestAlgorithm::kSha256},
    {"archive-changed.exe", Trust::kRoot, SignatureState::kDigestMismatch,
     "a byte of the appended archive", DigestAlgorithm::kSha256},
    {"table-changed.exe", Trust::kRoot, SignatureState::kBadSignature,
     "a byte of the signature value", DigestAlgorithm::kSha256},
    {"removed.exe", Trust::kRoot, SignatureState::kUnsigned, "signature removed by the tool"},
    {"nested.exe", Trust::kRoot, SignatureState::kValid, "SHA-1 with a nested SHA-256",
     DigestAlgorithm::kSha1, ChainCheck::kVerified, PinCheck::kNoPins, std::nullopt,
     {SignatureState::kValid}},
};

std::span<const std::uint8_t> Bytes(const std::string& text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

crypto::TrustSettings TrustOf(Trust trust) {
  std::vector<std::string> anchors, pins;
  if (trust != Trust::kNone) anchors.push_back(testsupport::ReadFile(kFiles / "root.pem"));
  if (trust == Trust::kPinSigner) pins.push_back(Trimmed(testsupport::ReadFile(kFiles / "signer.fingerprint")));
  if (trust == Trust::kPinSubject) pins.push_back(kSigner);
  crypto::TrustSettings::Load load = crypto::TrustSettings::Read(anchors, pins);
  EXPECT_TRUE(load.settings.has_value());
  return load.settings.value_or(crypto::TrustSettings());
}

// The file streamed by in chunks of a size that is no divisor of anything,
// with every digest computed.
FileSignatures Streamed(const std::string& bytes, const crypto::TrustSettings& trust,
                        std::int64_t now) {
  constexpr DigestAlgorithm kAll[] = {DigestAlgorithm::kSha1, DigestAlgorithm::kSha256,
                                      DigestAlgorithm::kSha384, DigestAlgorithm::kSha512};
  AuthenticodeDigester digester(bytes.size(), kAll);
  for (std::size_t at = 0; at < bytes.size(); at += 4093) {
    EXPECT_TRUE(digester.Update(at, Bytes(bytes).subspan(at, std::min<std::size_t>(4093, bytes.size() - at))));
  }
  return CheckSignatures(digester.Finish(), trust, now);
}

void ExpectSameFacts(const SignatureFacts& a, const SignatureFacts& b) {
  EXPECT_EQ(a.state, b.state);
  EXPECT_EQ(a.subject, b.subject);
  EXPECT_EQ(a.fingerprint, b.fingerprint);
  EXPECT_EQ(a.signingTime, b.signingTime);
  EXPECT_EQ(a.chain, b.chain);
  ASSERT_EQ(a.nested.size(), b.nested.size());
  for (std::size_t i = 0; i < a.nested.size(); ++i) ExpectSameFacts(a.nested[i], b.nested[i]);
}

class SignatureTableTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_EQ(crypto::InitCryptography(), platform::HostFault::kNone); }
};

TEST_F(SignatureTableTest, EachFileGetsItsStateAndFacts) {
  std::map<std::string, std::string> reference;
  {
    std::istringstream lines(testsupport::ReadFile(kFiles / "verdicts.txt"));
    std::string name, verdict;
    while (lines >> name >> verdict) reference[name] = verdict;
  }
  ASSERT_FALSE(reference.empty()) << "no verdicts in " << (kFiles / "verdicts.txt");
  const std::string signerFingerprint = Trimmed(testsupport::ReadFile(kFiles / "signer.fingerprint"));
  const std::int64_t now = std::time(nullptr);

  for (const Row& row : kRows) {
    SCOPED_TRACE(std::string(row.file) + ": " + row.why);
    const std::string bytes = testsupport::ReadFile(kFiles / "signed" / row.file);
    ASSERT_FALSE(bytes.empty());
    const crypto::TrustSettings trust = TrustOf(row.trust);
    const FileSignatures result = CheckFileSignatures(MemoryInput(Bytes(bytes)), trust, now);
    ASSERT_EQ(result.fault, platform::HostFault::kNone);
    EXPECT_EQ(crypto::SignatureStateName(result.state), crypto::SignatureStateName(row.state))
        << result.problem;

    const FileSignatures streamed = Streamed(bytes, trust, now);
    EXPECT_EQ(streamed.state, result.state);
    ASSERT_EQ(streamed.signatures.size(), result.signatures.size());
    for (std::size_t i = 0; i < result.signatures.size(); ++i) {
      ExpectSameFacts(streamed.signatures[i], result.signatures[i]);
    }

    if (row.trust == Trust::kRoot) {
      EXPECT_EQ(reference[row.file], row.state == SignatureState::kValid ? "valid" : "invalid")
          << "osslsigncode disagrees";
    }
    if (row.state == SignatureState::kUnsigned) {
      EXPECT_TRUE(result.signatures.empty());
      continue;
    }
    ASSERT_EQ(result.signatures.size(), 1u);
    const SignatureFacts& facts = result.signatures[0];
    EXPECT_EQ(facts.algorithm, row.algorithm);
    EXPECT_EQ(crypto::ChainCheckName(facts.chain), crypto::ChainCheckName(row.chain));
    EXPECT_EQ(facts.pin, row.pin);
    EXPECT_EQ(facts.signingTime, row.signingTime);
    EXPECT_EQ(facts.timestamp, row.signingTime ? TimestampKind::kRfc3161 : TimestampKind::kNone);
    EXPECT_EQ(facts.fingerprint.size(), 64u);
    EXPECT_EQ(facts.state == SignatureState::kValid, facts.problem.empty()) << facts.problem;
    if (std::string(row.file) == "sha256.exe") {
      EXPECT_EQ(facts.subject, kSigner);
      EXPECT_EQ(facts.issuer, kIntermediate);
      EXPECT_EQ(facts.fingerprint, signerFingerprint);
    }
    ASSERT_EQ(facts.nested.size(), row.nested.size());
    for (std::size_t i = 0; i < row.nested.size(); ++i) {
      EXPECT_EQ(facts.nested[i].state, row.nested[i]) << facts.nested[i].problem;
      EXPECT_EQ(facts.nested[i].algorithm, DigestAlgorithm::kSha256);
      EXPECT_EQ(facts.nested[i].fingerprint, signerFingerprint);
    }
  }
}

// A signed component still checks as a whole: the archive reader finds its
// end record with the certificate table after it.
TEST_F(SignatureTableTest, ASignedComponentStillChecks) {
  testsupport::ProgramRun run;
  run.program = PACKPROBE_EXE;
  // By a relative name: PACKPROBE takes an argument that starts with "/" for
  // a switch.
  run.workingDirectory = kFiles / "check";
  run.arguments = {"signeddemo.exe"};
  const testsupport::ProgramResult result = testsupport::RunProgram(run);
  EXPECT_EQ(result.exitCode, 0) << result.out << result.err;
  EXPECT_EQ(result.err, "");
  EXPECT_NE(result.out.find("Component name: Signed Demo"), std::string::npos) << result.out;
}

}  // namespace
}  // namespace packprobe
