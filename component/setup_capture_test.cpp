// The capture plan: a setup program's version read from the ranges captured
// as it streams by gives what reading the extracted program gives, the same
// version or the same failure, wherever the parts lie and wherever the
// stream is damaged; and the same signature state, judged only for a program
// that streamed whole.
#include "component/setup_capture.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "component/capture_budget.h"
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

using testsupport::PutU16;
using testsupport::PutU32;

constexpr std::uint32_t kMiB = 1 << 20;

struct SectionLayout {
  std::uint32_t rawOffset;
  std::uint32_t rawSize;
};

// Where the parts of a program lie in its file. Sections get virtual
// addresses 16 MiB apart, in table order.
struct ProgramLayout {
  std::uint32_t peOffset = 0x80;
  std::vector<SectionLayout> sections;
  std::size_t resourceSection = 0;
  std::size_t dataSection = 0;  // the section that holds the version data
  std::uint32_t dataOffset = 0x100;  // within it, past the tree
  std::uint32_t fileSize = 0;
  bool dataOutsideSections = false;  // the data entry points at no section: malformed
};

std::uint32_t SectionRva(std::size_t index) {
  return 0x1000 + static_cast<std::uint32_t>(index) * 16 * kMiB;
}

// A PE32 program of random bytes with the headers, the three-level resource
// tree and a version block (FileVersion 7.9.1.0) where the layout puts them.
std::string BuildLaidOutProgram(const ProgramLayout& layout) {
  std::string bytes = testsupport::RandomBytes(layout.fileSize, layout.fileSize);
  const auto zero = [&](std::size_t at, std::size_t n) { bytes.replace(at, n, n, '\0'); };
  zero(0, 64);
  bytes[0] = 'M';
  bytes[1] = 'Z';
  PutU32(bytes, 0x3C, layout.peOffset);
  constexpr std::uint16_t kOptionalSize = 224;
  const std::size_t pe = layout.peOffset;
  zero(pe, 24 + kOptionalSize + 40 * layout.sections.size());
  bytes.replace(pe, 4, std::string("PE\0\0", 4));
  PutU16(bytes, pe + 4, 0x014C);
  PutU16(bytes, pe + 6, static_cast<std::uint16_t>(layout.sections.size()));
  PutU16(bytes, pe + 20, kOptionalSize);
  const std::size_t optional = pe + 24;
  PutU16(bytes, optional, 0x010B);
  PutU32(bytes, optional + 92, 16);
  PutU32(bytes, optional + 112, SectionRva(layout.resourceSection));
  PutU32(bytes, optional + 116, 88);
  for (std::size_t i = 0; i < layout.sections.size(); ++i) {
    const std::size_t header = optional + kOptionalSize + 40 * i;
    PutU32(bytes, header + 8, layout.sections[i].rawSize);
    PutU32(bytes, header + 12, SectionRva(i));
    PutU32(bytes, header + 16, layout.sections[i].rawSize);
    PutU32(bytes, header + 20, layout.sections[i].rawOffset);
  }
  const std::string block =
      testsupport::BuildVersionInfo({{u"040904B0", {{u"FileVersion", u"7.9.1.0"}}}});
  // Type 16 -> ID 1 -> language neutral -> data entry, at 0, 24, 48, 72.
  const std::size_t root = layout.sections[layout.resourceSection].rawOffset;
  zero(root, 88);
  for (const std::uint32_t at : {0u, 24u, 48u}) PutU16(bytes, root + at + 14, 1);
  PutU32(bytes, root + 16, 16);
  PutU32(bytes, root + 20, 0x80000000u | 24);
  PutU32(bytes, root + 24 + 16, 1);
  PutU32(bytes, root + 24 + 20, 0x80000000u | 48);
  PutU32(bytes, root + 48 + 20, 72);
  const std::uint32_t dataRva = layout.dataOutsideSections
                                    ? 0x7FFF0000u
                                    : SectionRva(layout.dataSection) + layout.dataOffset;
  PutU32(bytes, root + 72, dataRva);
  PutU32(bytes, root + 76, static_cast<std::uint32_t>(block.size()));
  bytes.replace(layout.sections[layout.dataSection].rawOffset + layout.dataOffset, block.size(),
                block);
  return bytes;
}

enum class Damage { kNone, kCrc, kCut, kFlip };

struct Row {
  const char* what;
  ProgramLayout layout;
  std::size_t bound = kSetupCaptureBound;
  SetupCapture::Outcome outcome = SetupCapture::Outcome::kRead;  // undamaged
  int passes = 1;                                                // undamaged
};

std::vector<Row> Rows() {
  std::vector<Row> rows;
  {
    Row r{"version data in the resource section, 2 MiB into the file", {}};
    r.layout.sections = {{0x400, 2 * kMiB}, {0x200400, 0x1000}};
    r.layout.resourceSection = r.layout.dataSection = 1;
    r.layout.dataOffset = 0x100;
    r.layout.fileSize = 0x201400;
    rows.push_back(r);
  }
  {
    Row r{"version data in a section after the resource section", {}};
    r.layout.sections = {{0x400, 0x1000}, {0x1400, 0x1000}, {3 * kMiB, 0x1000}};
    r.layout.resourceSection = 1;
    r.layout.dataSection = 2;
    r.layout.dataOffset = 0x10;
    r.layout.fileSize = 3 * kMiB + 0x1000;
    rows.push_back(r);
  }
  {
    // The data lies 1.5 MiB in; the tree that points at it 3 MiB in.
    Row r{"version data in a section before the resource section", {}};
    r.layout.sections = {{0x400, 2 * kMiB}, {3 * kMiB, 0x1000}};
    r.layout.resourceSection = 1;
    r.layout.dataSection = 0;
    r.layout.dataOffset = 3 * kMiB / 2;
    r.layout.fileSize = 3 * kMiB + 0x1000;
    r.passes = 2;
    rows.push_back(r);
  }
  {
    Row r{"section table running past the head", {}};
    r.layout.peOffset = 0xF00;
    r.layout.sections = {{0x2000, 0x1000}, {0x3000, 0x1000}, {0x4000, 0x1000}, {0x5000, 0x1000}};
    r.layout.resourceSection = r.layout.dataSection = 3;
    r.layout.dataOffset = 0x200;
    r.layout.fileSize = 0x6000;
    rows.push_back(r);
  }
  {
    Row r{"PE headers 1.5 MiB into the file", {}};
    r.layout.peOffset = 3 * kMiB / 2;
    r.layout.sections = {{2 * kMiB, 0x1000}};
    r.layout.fileSize = 2 * kMiB + 0x1000;
    rows.push_back(r);
  }
  {
    Row r{"resource section larger than the bound", {}};
    r.layout.sections = {{0x400, 3 * kMiB / 2}};
    r.layout.dataOffset = kMiB;
    r.layout.fileSize = 0x400 + 3 * kMiB / 2;
    r.bound = kMiB;
    r.outcome = SetupCapture::Outcome::kFallback;
    r.passes = 0;
    rows.push_back(r);
  }
  {
    // Below the bound alone, beyond it with the head already held.
    Row r{"resource section that with the head exceeds the bound", {}};
    r.layout.sections = {{0x400, kMiB - 0x800}};
    r.layout.fileSize = 0x400 + kMiB - 0x800;
    r.bound = kMiB;
    r.outcome = SetupCapture::Outcome::kFallback;
    r.passes = 0;
    rows.push_back(r);
  }
  {
    Row r{"version data outside every section", {}};
    r.layout.sections = {{0x400, 0x1000}};
    r.layout.fileSize = 0x1400;
    r.layout.dataOutsideSections = true;
    rows.push_back(r);
  }
  return rows;
}

// The setup entry, deflated, with the damage applied.
testsupport::ZipWriterEntry SetupEntry(const std::string& program, std::string deflated,
                                       Damage damage, double at) {
  testsupport::ZipWriterEntry entry;
  entry.name = "veksetup.exe";
  entry.data = program;
  const std::size_t point = static_cast<std::size_t>(at * static_cast<double>(deflated.size()));
  switch (damage) {
    case Damage::kNone:
      break;
    case Damage::kCrc:
      entry.editBoth = [](testsupport::ZipHeaderFields& f) { f.crc ^= 1; };
      break;
    case Damage::kCut:
      deflated.resize(point);
      entry.rawData = deflated;
      break;
    case Damage::kFlip:
      deflated[point] = static_cast<char>(deflated[point] ^ 0x5A);
      entry.rawData = deflated;
      break;
  }
  return entry;
}

struct Seen {
  int status;
  VersionNumber setupVersion;
  std::string faults;  // step, status, code and detail of each
  std::string setupSignatures;
};

Seen Inspect(const std::filesystem::path& file, std::size_t bound) {
  const std::u16string path = Utf8ToUtf16(file.string());
  static const crypto::TrustSettings kNoAnchors;
  InspectionOptions options;
  options.captureBound = bound;
  options.trust = &kNoAnchors;
  const ComponentInfo info(&path, options);
  Seen seen{info.status, info.setupVersion, "", "not checked"};
  if (info.setupSignatures) {
    seen.setupSignatures = crypto::SignatureStateName(info.setupSignatures->state);
    seen.setupSignatures += " " + info.setupSignatures->problem;
  }
  for (const InspectionFault& f : info.faults) {
    seen.faults += std::to_string(static_cast<int>(f.step)) + " " + std::to_string(f.status) +
                   " " + f.code + " " + f.detail + "\n";
  }
  return seen;
}

TEST(SetupCaptureTest, CapturedRangesGiveWhatTheExtractedProgramGives) {
  ASSERT_EQ(crypto::InitCryptography(), platform::HostFault::kNone);
  testsupport::ScratchDir dir;
  const std::filesystem::path file = dir / "kit.exe";
  const std::string stub = testsupport::BuildVersionedProgram({{u"Comments", u"3.0.3.0"}});
  testsupport::ZipWriterEntry metadata;
  metadata.name = "kit.xml";
  metadata.data = testsupport::MetadataXml("Kit", "Software");

  struct Variant {
    Damage damage;
    double at;  // where in the deflated data: the head, the middle, near the end
  };
  const Variant variants[] = {{Damage::kNone, 0},    {Damage::kCrc, 0},     {Damage::kCut, 0.01},
                              {Damage::kCut, 0.5},   {Damage::kCut, 0.99},  {Damage::kFlip, 0.001},
                              {Damage::kFlip, 0.5},  {Damage::kFlip, 0.99}};
  for (const Row& row : Rows()) {
    const std::string program = BuildLaidOutProgram(row.layout);
    const std::string deflated = testsupport::RawDeflate(program);
    for (const Variant& v : variants) {
      SCOPED_TRACE(std::string(row.what) + ", damage " + std::to_string(static_cast<int>(v.damage)) +
                   " at " + std::to_string(v.at));
      testsupport::WriteFile(file, testsupport::BuildArchive(
                                       {metadata, SetupEntry(program, deflated, v.damage, v.at)}, stub));
      // Bound 0 extracts every setup program: today's reading of the file.
      const Seen extracted = Inspect(file, 0);
      const Seen captured = Inspect(file, row.bound);
      EXPECT_EQ(captured.status, extracted.status);
      EXPECT_EQ(captured.setupVersion, extracted.setupVersion);
      EXPECT_EQ(captured.faults, extracted.faults);
      EXPECT_EQ(captured.setupSignatures, extracted.setupSignatures);
      // Unsigned, or malformed where the headers lie beyond what a signature
      // check reads; never judged from a program that did not stream whole.
      EXPECT_EQ(captured.setupSignatures == "not checked", v.damage != Damage::kNone);
      if (v.damage != Damage::kNone) {
        EXPECT_NE(extracted.status, 0);
        continue;
      }
      EXPECT_EQ(captured.setupVersion, row.layout.dataOutsideSections ? 0 : 7910);

      vekzip::ZIP_File archive;
      ASSERT_EQ(archive.Open(Utf8ToUtf16(file.string()), true), vekzip::ZIP_OK);
      vekzip::ZIP_FileEntry* entry = archive.FindEntry(u"veksetup.exe");
      ASSERT_NE(entry, nullptr);
      const SetupCapture capture = CaptureSetupVersion(*entry, row.bound);
      EXPECT_EQ(capture.outcome, row.outcome);
      if (row.outcome == SetupCapture::Outcome::kRead) {
        EXPECT_EQ(capture.passes, row.passes);
        // Memory stays with the ranges, never the whole program.
        EXPECT_LT(capture.heldBytes, 64u * 1024);
        // What the captures running at once hold is bounded too: a capture
        // that cannot have its share of the budget gives way to extraction,
        // and each gives its share back.
        const std::size_t budget = CaptureBudget();
        SetCaptureBudget(capture.heldBytes - 1);
        EXPECT_EQ(CaptureSetupVersion(*entry, row.bound).outcome, SetupCapture::Outcome::kFallback);
        SetCaptureBudget(capture.heldBytes);
        EXPECT_EQ(CaptureSetupVersion(*entry, row.bound).outcome, SetupCapture::Outcome::kRead);
        EXPECT_EQ(CaptureSetupVersion(*entry, row.bound).outcome, SetupCapture::Outcome::kRead);
        SetCaptureBudget(budget);
      }
    }
  }
}

}  // namespace
}  // namespace packprobe
