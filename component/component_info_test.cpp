// The faults an inspection records: where and why each failure happened,
// and whether the component or the host was at fault.
#include "component/component_info.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/heap.h"
#include "tests/support/component_builder.h"
#include "tests/support/scratch_dir.h"
#include "util/text.h"

namespace packprobe {
namespace {

using testsupport::ComponentContents;

struct Expected {
  InspectionStep step;
  int status;
  std::string code;
};

class ComponentInfoTest : public ::testing::Test {
 protected:
  // Writes a component as kitdemo1.exe and inspects it.
  std::vector<Expected> Inspect(const std::string& bytes, int expectedStatus) {
    testsupport::WriteFile(dir_ / "kitdemo1.exe", bytes);
    return InspectPath(dir_ / "kitdemo1.exe", expectedStatus);
  }

  std::vector<Expected> InspectPath(const std::filesystem::path& file, int expectedStatus) {
    const std::u16string path = Utf8ToUtf16(file.string());
    const ComponentInfo info(&path);
    EXPECT_EQ(info.status, expectedStatus);
    std::vector<Expected> seen;
    for (const InspectionFault& fault : info.faults) {
      EXPECT_FALSE(fault.detail.empty()) << fault.code;
      seen.push_back({fault.step, fault.status, fault.code});
    }
    return seen;
  }

  static ComponentContents Valid() {
    ComponentContents contents;
    contents.metadata = testsupport::MetadataXml("Demo Kit", "Software");
    return contents;
  }

  testsupport::ScratchDir dir_;
};

bool operator==(const Expected& a, const Expected& b) {
  return a.step == b.step && a.status == b.status && a.code == b.code;
}

void PrintTo(const Expected& e, std::ostream* out) {
  *out << "{step " << static_cast<int>(e.step) << ", status " << e.status << ", " << e.code << "}";
}

using Step = InspectionStep;

TEST_F(ComponentInfoTest, EachFailureIsRecordedWhereItHappened) {
  EXPECT_EQ(Inspect(testsupport::BuildComponent(Valid()), 0), std::vector<Expected>{});

  EXPECT_EQ(InspectPath(dir_ / "absent.exe", 4),
            (std::vector<Expected>{{Step::kExistence, 4, "component-missing"}}));
  std::filesystem::create_directory(dir_ / "dir.exe");
  EXPECT_EQ(InspectPath(dir_ / "dir.exe", 5),
            (std::vector<Expected>{{Step::kExistence, 5, "not-regular-file"}}));

  // Where no archive ends the file, the reason says what the file is.
  EXPECT_EQ(Inspect("MZ no archive here", 5),
            (std::vector<Expected>{{Step::kOpenArchive, 5, "not-a-program"}}));

  ComponentContents renamed = Valid();
  renamed.metadataName = "other.xml";
  EXPECT_EQ(Inspect(testsupport::BuildComponent(renamed), 5),
            (std::vector<Expected>{{Step::kExtractMetadata, 5, "metadata-missing"}}));

  ComponentContents corrupt = Valid();
  corrupt.corruptSetup = true;
  EXPECT_EQ(Inspect(testsupport::BuildComponent(corrupt), 5),
            (std::vector<Expected>{{Step::kExtractSetup, 5, "zip-crc-mismatch"}}));

  // Both metadata queries find the file unreadable; the run goes on.
  ComponentContents broken = Valid();
  broken.metadata = "<vek_package>";
  EXPECT_EQ(Inspect(testsupport::BuildComponent(broken), 6),
            (std::vector<Expected>{{Step::kLoadMetadata, 6, "metadata-load-syntax"},
                                   {Step::kLoadMetadata, 6, "metadata-load-syntax"}}));

  ComponentContents noStub = Valid();
  noStub.comments = u"VEKStub 0";
  noStub.setupFileVersion = u"no digits";
  EXPECT_EQ(Inspect(testsupport::BuildComponent(noStub), 5),
            (std::vector<Expected>{{Step::kReadStubVersion, 5, "stub-version-zero"}}));
}

TEST_F(ComponentInfoTest, AnOversizedMetadataFileIsUnreadableWithoutBeingExtracted) {
  ComponentContents big = Valid();
  big.metadata.append(ComponentInfo::kMaxMetadataSize, ' ');
  EXPECT_EQ(Inspect(testsupport::BuildComponent(big), 6),
            (std::vector<Expected>{{Step::kLoadMetadata, 6, "metadata-too-large"},
                                   {Step::kLoadMetadata, 6, "metadata-too-large"}}));
}

TEST_F(ComponentInfoTest, RunningOutOfMemoryIsAFaultOfTheHost) {
  testsupport::WriteFile(dir_ / "kitdemo1.exe", testsupport::BuildComponent(Valid()));
  const std::u16string path = Utf8ToUtf16((dir_ / "kitdemo1.exe").string());
  // The archive's first allocation, then its first one in the second open:
  // neither makes the setup program absent or the component invalid.
  for (const int successes : {0, 5}) {
    platform::SimulatedHeapExhaustion exhaustion(successes);
    const ComponentInfo info(&path);
    EXPECT_EQ(info.status, 6) << successes;
    ASSERT_FALSE(info.faults.empty());
    EXPECT_EQ(info.faults.front().code, "host-no-memory");
    EXPECT_NE(info.setupVersion, kNoVersion);
  }
}

}  // namespace
}  // namespace packprobe

namespace packprobe {
namespace {

// The digest is of the file the inspection opened, whole, read in pieces
// larger files need several of; a file that failed its check is hashed too.
TEST(ComponentDigestTest, TheInspectionHashesTheFileItReadWhole) {
  testsupport::ScratchDir dir;
  testsupport::ComponentContents contents;
  contents.metadata = testsupport::MetadataXml("Demo Kit", "Software");
  contents.setupPadding = 3 * (1 << 20) + 17;  // more than one read
  const std::string bytes = testsupport::BuildComponent(contents);
  for (const bool whole : {true, false}) {
    // A cut archive fails the inspection, yet the digest still covers the file.
    const std::string file = whole ? bytes : bytes.substr(0, bytes.size() - 100);
    testsupport::WriteFile(dir / "kitdemo1.exe", file);
    const std::u16string path = Utf8ToUtf16((dir / "kitdemo1.exe").string());
    InspectionOptions options;
    options.digest = true;
    const ComponentInfo info(&path, options);
    EXPECT_EQ(info.inspected, whole);
    crypto::Sha256 expected;
    expected.Update(file.data(), file.size());
    ASSERT_TRUE(info.fileSha256.has_value());
    EXPECT_EQ(crypto::Sha256Hex(*info.fileSha256), crypto::Sha256Hex(*expected.Finish()));
    EXPECT_EQ(info.fileSize, file.size());
  }
}

}  // namespace
}  // namespace packprobe
