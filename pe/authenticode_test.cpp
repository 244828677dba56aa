#include "pe/authenticode.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/support/pe_builder.h"

namespace packprobe {
namespace {

using crypto::DigestAlgorithm;
namespace ts = testsupport;

std::span<const std::uint8_t> Bytes(const std::string& text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// A certificate table entry: length (header included), revision, type, data,
// then zeros up to a multiple of 8.
std::string Entry(const std::string& data, std::uint16_t type = 2, std::uint16_t revision = 0x0200,
                  std::optional<std::uint32_t> length = std::nullopt) {
  std::string entry(8, '\0');
  ts::PutU32(entry, 0, length.value_or(static_cast<std::uint32_t>(8 + data.size())));
  ts::PutU16(entry, 4, revision);
  ts::PutU16(entry, 6, type);
  entry += data;
  entry.resize((entry.size() + 7) / 8 * 8, '\0');
  return entry;
}

// A program with `table` appended on an 8-byte boundary after `tail`, the
// security entry pointing at it.
struct Signed {
  std::string bytes;
  std::size_t optionalHeader = 0;
  std::size_t entry = 0;
  std::size_t table = 0;
};

Signed SignedProgram(bool pe32Plus, const std::string& table, const std::string& tail = "ARCHIVE") {
  ts::ProgramContents contents;
  contents.pe32Plus = pe32Plus;
  contents.tail = tail;
  const ts::ProgramImage image = ts::BuildProgram(contents);
  Signed out;
  out.bytes = image.bytes;
  out.optionalHeader = image.optionalHeader;
  out.entry = image.optionalHeader + (pe32Plus ? 144 : 128);
  out.bytes.resize((out.bytes.size() + 7) / 8 * 8, '\0');
  out.table = out.bytes.size();
  out.bytes += table;
  ts::PutU32(out.bytes, out.entry, static_cast<std::uint32_t>(out.table));
  ts::PutU32(out.bytes, out.entry + 4, static_cast<std::uint32_t>(table.size()));
  return out;
}

TEST(AuthenticodeLayoutTest, WhereTheSignatureLivesAndWhatIsWrongWithIt) {
  using S = AuthenticodeLayoutStatus;
  const std::string table = Entry("DER");
  struct Case {
    const char* why;
    bool pe32Plus;
    std::function<void(Signed&)> edit;
    S status;
  } const cases[] = {
      {"PE32, signed", false, [](Signed&) {}, S::kSigned},
      {"PE32+, signed", true, [](Signed&) {}, S::kSigned},
      {"empty security entry", false,
       [](Signed& s) { ts::PutU32(s.bytes, s.entry, 0), ts::PutU32(s.bytes, s.entry + 4, 0); },
       S::kUnsigned},
      {"only four directories declared", false,
       [](Signed& s) { ts::PutU32(s.bytes, s.optionalHeader + 92, 4); }, S::kUnsigned},
      {"table past the end", false,
       [](Signed& s) { ts::PutU32(s.bytes, s.entry + 4, 0x1000); }, S::kTableOutOfBounds},
      {"offset near 2^32", true,
       [](Signed& s) { ts::PutU32(s.bytes, s.entry, 0xFFFFFFF8u); }, S::kTableOutOfBounds},
      {"table inside the headers", false,
       [](Signed& s) { ts::PutU32(s.bytes, s.entry, 0x100); }, S::kTableOverlapsHeaders},
      {"table not on 8 bytes", false,
       [](Signed& s) {
         s.bytes.insert(s.table, 4, '\0');
         ts::PutU32(s.bytes, s.entry, static_cast<std::uint32_t>(s.table + 4));
       },
       S::kTableMisaligned},
      {"bytes after the table", false, [](Signed& s) { s.bytes += "MORE"; }, S::kTableNotAtEnd},
      {"no MZ", false, [](Signed& s) { s.bytes[0] = 'X'; }, S::kNotProgram},
      {"no PE signature", false, [](Signed& s) { s.bytes[0x80] = 'X'; }, S::kNotProgram},
      {"unknown optional header", false,
       [](Signed& s) { ts::PutU16(s.bytes, s.optionalHeader, 0x0107); }, S::kNotProgram},
      {"PE headers beyond the head bound", false,
       [](Signed& s) { ts::PutU32(s.bytes, 0x3C, 0x10000); s.bytes.resize(0x20000, '\0'); },
       S::kNotProgram},
  };
  for (const Case& c : cases) {
    Signed program = SignedProgram(c.pe32Plus, table);
    c.edit(program);
    const AuthenticodeLayout layout = ReadAuthenticodeLayout(MemoryInput(Bytes(program.bytes)));
    EXPECT_EQ(layout.status, c.status) << c.why;
    if (layout.Digestible()) {
      EXPECT_EQ(layout.pe32Plus, c.pe32Plus) << c.why;
      EXPECT_EQ(layout.checksumOffset, program.optionalHeader + 64) << c.why;
      EXPECT_EQ(layout.directoryEntryOffset, program.entry) << c.why;
    }
    if (c.status == S::kSigned) {
      EXPECT_EQ(layout.table.offset, program.table) << c.why;
      EXPECT_EQ(layout.table.size, table.size()) << c.why;
    }
  }
}

// Cut at every length through the headers: never a read outside, and a
// program cut inside its headers is no program.
TEST(AuthenticodeLayoutTest, TruncatedHeaders) {
  const Signed program = SignedProgram(false, Entry("DER"));
  for (std::size_t length = 0; length < program.entry + 8; ++length) {
    const auto cut = Bytes(program.bytes).first(length);
    EXPECT_EQ(ReadAuthenticodeLayout(MemoryInput(cut)).status, AuthenticodeLayoutStatus::kNotProgram)
        << length;
  }
}

TEST(CertificateTableTest, EntriesBoundsAndPadding) {
  using S = CertificateTableStatus;
  struct Case {
    const char* why;
    std::string table;
    S status;
    std::vector<std::string> signatures;
  } const cases[] = {
      {"one entry", Entry("ABC"), S::kOk, {"ABC"}},
      {"two entries, padded between", Entry("ABCDEFGHI") + Entry("Z"), S::kOk, {"ABCDEFGHI", "Z"}},
      {"the last padding missing", Entry("ABC").substr(0, 11), S::kOk, {"ABC"}},
      {"another type is skipped", Entry("X509", 1) + Entry("P7"), S::kOk, {"P7"}},
      {"no PKCS #7 entry", Entry("X509", 1), S::kNoSignature, {}},
      {"empty", "", S::kEmpty, {}},
      {"length under the header", Entry("", 2, 0x0200, 7), S::kShortEntry, {}},
      {"zero padding taken for an entry", Entry("ABC") + std::string(8, '\0'), S::kShortEntry, {}},
      {"length past the end", Entry("ABC", 2, 0x0200, 17), S::kEntryPastEnd, {}},
      {"header cut off", Entry("ABC") + "\x10\0\0\0", S::kEntryPastEnd, {}},
      {"revision 1.0", Entry("ABC", 2, 0x0100), S::kBadRevision, {}},
      {"padding not zero", Entry("ABC").substr(0, 11) + "\1\0\0\0\0", S::kBadPadding, {}},
  };
  for (const Case& c : cases) {
    const CertificateTable table = ReadCertificateTable(Bytes(c.table));
    EXPECT_EQ(table.status, c.status) << c.why;
    std::vector<std::string> signatures;
    for (const auto der : table.signatures) signatures.emplace_back(der.begin(), der.end());
    if (c.status == S::kOk) {
      EXPECT_EQ(signatures, c.signatures) << c.why;
    }
  }
}

// The Authenticode digest is the digest of the file without its three
// ranges, and a stream in chunks of any size gives the same digests, the
// layout and the table.
TEST(AuthenticodeDigesterTest, SkipsTheThreeRangesInAnyChunking) {
  const std::string table = Entry("SIGNATURE");
  for (const bool pe32Plus : {false, true}) {
    Signed program = SignedProgram(pe32Plus, table, std::string(70000, 'A'));
    ts::PutU32(program.bytes, program.optionalHeader + 64, 0x12345678);  // a checksum
    std::string covered = program.bytes.substr(0, program.table);
    covered.erase(program.entry, 8);
    covered.erase(program.optionalHeader + 64, 4);
    constexpr DigestAlgorithm kAlgorithms[] = {DigestAlgorithm::kSha256, DigestAlgorithm::kSha1};
    const auto sha256 = crypto::DigestOf(DigestAlgorithm::kSha256, Bytes(covered));
    const auto sha1 = crypto::DigestOf(DigestAlgorithm::kSha1, Bytes(covered));

    for (const std::size_t chunk : {std::size_t{1}, std::size_t{7}, std::size_t{4096}, program.bytes.size()}) {
      SCOPED_TRACE(std::to_string(chunk) + (pe32Plus ? " PE32+" : " PE32"));
      AuthenticodeDigester digester(program.bytes.size(), kAlgorithms);
      const auto bytes = Bytes(program.bytes);
      for (std::size_t at = 0; at < bytes.size(); at += chunk) {
        ASSERT_TRUE(digester.Update(at, bytes.subspan(at, std::min(chunk, bytes.size() - at))));
        if (at + chunk >= 0x200) {
          EXPECT_NE(digester.layout(), nullptr) << "known once the head is in";
        }
      }
      const AuthenticodeDigests result = digester.Finish();
      EXPECT_TRUE(result.complete);
      EXPECT_EQ(result.layout.status, AuthenticodeLayoutStatus::kSigned);
      ASSERT_EQ(result.digests.size(), 2u);
      EXPECT_EQ(result.digests[0], sha256);
      EXPECT_EQ(result.digests[1], sha1);
      EXPECT_EQ(std::string(result.table.begin(), result.table.end()), table);
    }
  }
}

TEST(AuthenticodeDigesterTest, StreamsThatAreNotTheFile) {
  const Signed program = SignedProgram(false, Entry("SIGNATURE"));
  const auto bytes = Bytes(program.bytes);
  constexpr DigestAlgorithm kSha256[] = {DigestAlgorithm::kSha256};
  {
    AuthenticodeDigester digester(bytes.size(), kSha256);
    EXPECT_TRUE(digester.Update(0, bytes.first(100)));
    EXPECT_FALSE(digester.Update(200, bytes.subspan(200))) << "a gap";
    EXPECT_FALSE(digester.Update(100, bytes.subspan(100))) << "spent";
    EXPECT_FALSE(digester.Finish().complete);
  }
  {
    AuthenticodeDigester digester(bytes.size() - 1, kSha256);
    EXPECT_FALSE(digester.Update(0, bytes)) << "longer than announced";
  }
  {
    AuthenticodeDigester digester(bytes.size(), kSha256);
    EXPECT_TRUE(digester.Update(0, bytes.first(bytes.size() - 1)));
    const AuthenticodeDigests result = digester.Finish();
    EXPECT_FALSE(result.complete) << "shorter";
    EXPECT_TRUE(result.digests.empty());
    EXPECT_EQ(CheckSignatures(result, crypto::TrustSettings(), 0).state,
              crypto::SignatureState::kMalformed);
  }
  {
    // Shorter than a DOS header: known only at the end, and no program.
    AuthenticodeDigester digester(10, kSha256);
    EXPECT_TRUE(digester.Update(0, bytes.first(10)));
    EXPECT_EQ(digester.Finish().layout.status, AuthenticodeLayoutStatus::kNotProgram);
  }
}

}  // namespace
}  // namespace packprobe
