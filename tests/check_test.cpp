// End-to-end tests of the whole check: inspection, report, verdict and exit
// code, run in a scratch current directory with a private TMPDIR.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/component_builder.h"
#include "tests/support/program_runner.h"
#include "tests/support/scratch_dir.h"

namespace packprobe::testsupport {
namespace {

namespace fs = std::filesystem;

// The information block as the report prints it.
std::string Block(const std::string& name, const std::string& file, const std::string& stub,
                  const std::string& setup, const std::string& type) {
  std::string block = "Component name: " + name + "\nComponent file: " + file +
                      "\nVEKStub Version: " + stub + "\nVEKSetup Version: " + setup + "\n";
  if (!type.empty()) block += "Component Type: " + type + "\n";
  return block + "\n";
}

const std::string kMissing = "The component specified does not exist.\n";
const std::string kInvalid = "A valid component was not passed.\n";
const std::string kSystem = "A system error occurred during processing.\n";
const std::string kPassed = "The component passed the validation check.\n";
const std::string kStubFailed = "VEKStub failed the version comparison.\n";
const std::string kSetupFailed = "VEKSetup failed the version comparison.\n";

class CheckTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Decoys: files of the names that the inspection extracts must survive.
    WriteFile(cwd_ / "veksetup.exe", "decoy setup");
    WriteFile(cwd_ / "kitdemo1.xml", "decoy metadata");
  }

  // Writes a component into the current directory under name.
  void Put(const std::string& name, const ComponentContents& contents) {
    WriteFile(cwd_ / name, BuildComponent(contents));
  }

  // Runs the program with /nologo and the arguments; checks that nothing
  // reached standard error, that the current directory is as it was and
  // that the temporary directory is empty again.
  ProgramResult Check(std::vector<std::string> arguments) {
    const std::vector<std::string> before = ListTree(cwd_.path());
    arguments.insert(arguments.begin(), "/nologo");
    ProgramResult result =
        RunProgram({PACKPROBE_EXE, arguments, cwd_.path(), {{"TMPDIR", tmp_.path().string()}}});
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(ListTree(cwd_.path()), before);
    EXPECT_EQ(ReadFile(cwd_ / "veksetup.exe"), "decoy setup");
    EXPECT_EQ(ReadFile(cwd_ / "kitdemo1.xml"), "decoy metadata");
    EXPECT_EQ(ListTree(tmp_.path()), std::vector<std::string>{});
    return result;
  }

  static ComponentContents Software() {
    ComponentContents contents;
    contents.metadata = MetadataXml("Demo Kit", "Software - System Management");
    return contents;
  }
  static ComponentContents Firmware() {
    ComponentContents contents;
    contents.metadata = MetadataXml("Demo Firmware", "Firmware - Storage Controller");
    return contents;
  }

  ScratchDir cwd_;
  ScratchDir tmp_;
};

TEST_F(CheckTest, MissingComponentIsComparedAsVersionZero) {
  const std::string block = Block("", "", "0.", "0.", "");
  struct Case {
    std::vector<std::string> options;
    std::string tail;
    int exitCode;
  } cases[] = {
      {{}, "", 4},
      {{"/stubmin:3.0.0.0"}, kStubFailed, 1},
      {{"/setupmin:3.0.0.0"}, kSetupFailed, 6},
      {{"/stubmin:3.0.0.0", "/setupmin:1"}, kStubFailed + kSetupFailed, 3},
      {{"/fwonly", "/stubmin:3.0.0.0"}, "Not a firmware component.\n", 4},
      {{"/swonly"}, "Not a software component.\n", 4},
  };
  for (const Case& c : cases) {
    std::vector<std::string> arguments = c.options;
    arguments.push_back("nothere.exe");
    const ProgramResult r = Check(arguments);
    EXPECT_EQ(r.out, kMissing + block + c.tail);
    EXPECT_EQ(r.exitCode, c.exitCode);
  }
}

TEST_F(CheckTest, ValidComponentPassesWithinItsRanges) {
  Put("kitdemo1.exe", Software());
  const std::string block = Block("Demo Kit", "kitdemo1.exe", "3.0.3.0", "7.9.1.0", "Software");
  ProgramResult r = Check({"kitdemo1.exe"});
  EXPECT_EQ(r.out, block + kPassed);
  EXPECT_EQ(r.exitCode, 0);

  // Both bounds are inclusive.
  r = Check({"kitdemo1.exe", "/stubmin:3.0.3.0", "/stubmax:3.0.3.0", "/setupmin:7.9.1.0",
             "/setupmax:7.9.1.0"});
  EXPECT_EQ(r.out, block + kPassed);
  EXPECT_EQ(r.exitCode, 0);

  // The logo comes first without /nologo.
  r = RunProgram({PACKPROBE_EXE, {"kitdemo1.exe"}, cwd_.path(), {{"TMPDIR", tmp_.path().string()}}});
  EXPECT_EQ(r.out, "PACKPROBE.EXE\nVerifies the VEKStub and VEKSetup versions of a component.\n\n" +
                       block + kPassed);
}

// Entries whose data takes more than one read of the archive (1 MiB), and a
// metadata entry that declares a prefix of a longer deflate stream: the
// declared bytes are extracted and their CRC-32 decides; the end of the
// stream is not awaited.
TEST_F(CheckTest, LargeSetupProgramsAndDeclaredPrefixesPass) {
  ComponentContents contents = Software();
  contents.setupPadding = 1536 * 1024;
  contents.metadataStreamGoesOn = std::string(5000, ' ') + "<more/>";
  Put("kitdemo1.exe", contents);
  ASSERT_GT(fs::file_size(cwd_ / "kitdemo1.exe"), contents.setupPadding);
  const std::string block = Block("Demo Kit", "kitdemo1.exe", "3.0.3.0", "7.9.1.0", "Software");
  ProgramResult r = Check({"kitdemo1.exe"});
  EXPECT_EQ(r.out, block + kPassed);
  EXPECT_EQ(r.exitCode, 0);

  // A wrong CRC-32 over the large setup program is found.
  contents.corruptSetup = true;
  Put("kitdemo1.exe", contents);
  r = Check({"kitdemo1.exe"});
  EXPECT_EQ(r.out, kInvalid + Block("Demo Kit", "kitdemo1.exe", "3.0.3.0", "0.", "Software"));
  EXPECT_EQ(r.exitCode, 5);
}

TEST_F(CheckTest, ComparisonsGiveOneTwoOrThree) {
  Put("kitdemo1.exe", Software());
  const std::string block = Block("Demo Kit", "kitdemo1.exe", "3.0.3.0", "7.9.1.0", "Software");
  ProgramResult r = Check({"kitdemo1.exe", "/stubmax:3.0.3"});
  EXPECT_EQ(r.out, block + kStubFailed);
  EXPECT_EQ(r.exitCode, 1);

  r = Check({"kitdemo1.exe", "/setupmin:8.0.0.0"});
  EXPECT_EQ(r.out, block + kSetupFailed);
  EXPECT_EQ(r.exitCode, 2);

  r = Check({"kitdemo1.exe", "/stubmin:4.0.0.0", "/setupmax:7.0.0.0"});
  EXPECT_EQ(r.out, block + kStubFailed + kSetupFailed);
  EXPECT_EQ(r.exitCode, 3);

  // A minimum above its maximum fails every component.
  r = Check({"kitdemo1.exe", "/stubmin:5", "/stubmax:4"});
  EXPECT_EQ(r.exitCode, 1);
}

TEST_F(CheckTest, TypeFiltersSkipTheComparisons) {
  Put("kitdemo1.exe", Software());
  Put("fw.exe", [] {
    ComponentContents contents = Firmware();
    contents.metadataName = "fw.xml";
    return contents;
  }());

  ProgramResult r = Check({"kitdemo1.exe", "/fwonly", "/stubmin:9.0.0.0"});
  EXPECT_EQ(r.out, Block("Demo Kit", "kitdemo1.exe", "3.0.3.0", "7.9.1.0", "Software") +
                       "Not a firmware component.\n");
  EXPECT_EQ(r.exitCode, 0);

  r = Check({"fw.exe", "/swonly"});
  EXPECT_EQ(r.out, Block("Demo Firmware", "fw.exe", "3.0.3.0", "7.9.1.0", "Firmware") +
                       "Not a software component.\n");
  EXPECT_EQ(r.exitCode, 0);

  r = Check({"fw.exe", "/fwonly"});
  EXPECT_EQ(r.out, Block("Demo Firmware", "fw.exe", "3.0.3.0", "7.9.1.0", "Firmware") + kPassed);
  EXPECT_EQ(r.exitCode, 0);

  // Both filters together cancel each other.
  r = Check({"fw.exe", "/fwonly", "/swonly", "/stubmin:9"});
  EXPECT_EQ(r.exitCode, 0);
  r = Check({"fw.exe", "/fwonly", "/swonly", "/stubmin:9999"});
  EXPECT_EQ(r.exitCode, 1);
}

TEST_F(CheckTest, ComponentWithoutSetupProgramSkipsTheSetupComparison) {
  ComponentContents contents = Software();
  contents.setupFileVersion.reset();
  Put("kitdemo1.exe", contents);
  const ProgramResult r = Check({"kitdemo1.exe", "/setupmin:9.9.9.9"});
  EXPECT_EQ(r.out, Block("Demo Kit", "kitdemo1.exe", "3.0.3.0",
                         "Component does not contain VEKSetup", "Software") +
                       kPassed);
  EXPECT_EQ(r.exitCode, 0);
}

TEST_F(CheckTest, FilesThatAreNoComponentsAreInvalid) {
  // A directory, a plain file and a component copied under another stem.
  fs::create_directory(cwd_ / "dir.exe");
  WriteFile(cwd_ / "plain.exe", std::string(1000, 'x'));
  Put("copy.exe", Software());
  for (const std::string name : {"dir.exe", "plain.exe", "copy.exe"}) {
    const ProgramResult r = Check({name});
    EXPECT_EQ(r.out, kInvalid + Block("", name, "0.", "0.", ""));
    EXPECT_EQ(r.exitCode, 5) << name;
  }
}

TEST_F(CheckTest, UnreadableStubVersionIsInvalidWhateverTheMetadata) {
  ComponentContents contents = Software();
  contents.comments = u"VEKStub 3.0.3.0 beta";
  contents.metadata = "<broken";
  Put("kitdemo1.exe", contents);
  const ProgramResult r = Check({"kitdemo1.exe"});
  EXPECT_EQ(r.out, kInvalid + Block("", "kitdemo1.exe", "0.", "0.", ""));
  EXPECT_EQ(r.exitCode, 5);
}

TEST_F(CheckTest, UnreadableMetadataIsASystemErrorAndCountsAsSoftware) {
  ComponentContents contents = Software();
  contents.metadata = "<vek_package><name>";
  Put("kitdemo1.exe", contents);
  ProgramResult r = Check({"kitdemo1.exe"});
  const std::string block = Block("", "kitdemo1.exe", "3.0.3.0", "7.9.1.0", "Software");
  EXPECT_EQ(r.out, kSystem + block);
  EXPECT_EQ(r.exitCode, 6);

  r = Check({"kitdemo1.exe", "/setupmax:7.0.0.0"});
  EXPECT_EQ(r.out, kSystem + block + kSetupFailed);
  EXPECT_EQ(r.exitCode, 8);

  r = Check({"kitdemo1.exe", "/stubmax:1"});
  EXPECT_EQ(r.out, kSystem + block + kStubFailed);
  EXPECT_EQ(r.exitCode, 1);

  // A well-formed document with another top-level element reads the same.
  contents.metadata = "<other><name><name_xlate lang=\"en\">X</name_xlate></name></other>";
  Put("kitdemo1.exe", contents);
  r = Check({"kitdemo1.exe"});
  EXPECT_EQ(r.out, kSystem + block);
  EXPECT_EQ(r.exitCode, 6);
}

TEST_F(CheckTest, DamagedSetupProgramMakesTheComponentInvalid) {
  ComponentContents contents = Software();
  contents.corruptSetup = true;
  Put("kitdemo1.exe", contents);
  const std::string block = Block("Demo Kit", "kitdemo1.exe", "3.0.3.0", "0.", "Software");
  ProgramResult r = Check({"kitdemo1.exe"});
  EXPECT_EQ(r.out, kInvalid + block);
  EXPECT_EQ(r.exitCode, 5);

  r = Check({"kitdemo1.exe", "/setupmin:1"});
  EXPECT_EQ(r.out, kInvalid + block + kSetupFailed);
  EXPECT_EQ(r.exitCode, 7);
}

TEST_F(CheckTest, UnusualButLegalNamesAndMetadata) {
  ScratchDir elsewhere;
  const std::string nihon = "\xE6\x97\xA5\xE6\x9C\xAC";
  const std::string software = MetadataXml("Demo Kit", "Software - System Management");
  struct Case {
    std::string argument;  // the component's path, absolute or in the current directory
    std::string entry;     // the metadata entry of its archive
    std::string metadata;
    std::string name, file, type;  // as reported
  } cases[] = {
      // The stem keeps its case, and the extension shown is always ".exe".
      {(elsewhere / "PKG01.bin").string(), "PKG01.xml", MetadataXml(nihon + " Kit", "BIOS - System"),
       nihon + " Kit", "PKG01.exe", "Firmware"},
      // Entry names match without regard to ASCII case, Z and z included.
      {"Zkit.exe", "zKIT.xml", software, "Demo Kit", "Zkit.exe", "Software"},
      // Only the last dot starts the extension.
      {"kit.v2.exe", "kit.v2.xml", software, "Demo Kit", "kit.v2.exe", "Software"},
#ifndef _WIN32  // entry names are UTF-8 here, in the ANSI code page on Windows
      {nihon + ".exe", nihon + ".xml", software, "Demo Kit", nihon + ".exe", "Software"},
      // A file name that looks like a drive-relative path: the "drive" goes.
      {"C:kit.exe", "kit.xml", software, "Demo Kit", "kit.exe", "Software"},
#endif
      // Children are listed latest first: a translation that ends with an
      // element has that element as its first child and is no match.
      {"elem.exe", "elem.xml",
       "<vek_package><name><name_xlate lang=\"en\">Earlier</name_xlate>"
       "<name_xlate lang=\"en\">Later<b/></name_xlate></name><category>"
       "<category_xlate lang=\"en\">Firmware<b/></category_xlate></category></vek_package>",
       "Earlier", "elem.exe", "Software"},
  };
  for (const Case& c : cases) {
    ComponentContents contents;
    contents.metadataName = c.entry;
    contents.metadata = c.metadata;
    const fs::path path(c.argument);
    WriteFile(path.is_absolute() ? path : cwd_.path() / path, BuildComponent(contents));
    const ProgramResult r = Check({c.argument});
    EXPECT_EQ(r.out, Block(c.name, c.file, "3.0.3.0", "7.9.1.0", c.type) + kPassed) << c.argument;
    EXPECT_EQ(r.exitCode, 0) << c.argument;
  }
}

TEST_F(CheckTest, ExampleComponentPasses) {
  const ProgramResult r = Check({(SourceDir() / "examples" / "kitdemo1.exe").string(),
                                 "/stubmin:3.0.0.0", "/stubmax:3.0.3.0", "/swonly"});
  EXPECT_EQ(r.out, Block("Demo Kit 1", "kitdemo1.exe", "3.0.3.0", "7.9.1.0", "Software") + kPassed);
  EXPECT_EQ(r.exitCode, 0);
}

// Only a setup program whose version resource needs more than the capture
// bound is written to the temporary directory; the others pass without it
// (except on Windows, where every setup program is extracted).
TEST_F(CheckTest, UnwritableTemporaryDirectoryFailsOnlyAnExtractedSetupProgram) {
  Put("kitdemo1.exe", Software());
  const auto run = [&](const std::string& file) {
    return RunProgram({PACKPROBE_EXE,
                       {"/nologo", file},
                       cwd_.path(),
                       {{"TMPDIR", (tmp_ / "missing").string()}}});
  };
  const ProgramResult passed = run("kitdemo1.exe");
#ifdef _WIN32
  // PACKPROBE.EXE extracts every setup program to ask the system's version
  // API, as it always has.
  EXPECT_EQ(passed.out, kSystem + Block("", "kitdemo1.exe", "0.", "0.", ""));
  EXPECT_EQ(passed.exitCode, 6);
#else
  EXPECT_EQ(passed.out,
            Block("Demo Kit", "kitdemo1.exe", "3.0.3.0", "7.9.1.0", "Software") + kPassed);
  EXPECT_EQ(passed.exitCode, 0);
#endif

  ComponentContents large = Software();
  large.setupResourceSectionSize = (std::size_t{64} << 20) + 4096;
  Put("kitdemo1.exe", large);
  const ProgramResult r = run("kitdemo1.exe");
  EXPECT_EQ(r.out, kSystem + Block("", "kitdemo1.exe", "0.", "0.", ""));
  EXPECT_EQ(r.exitCode, 6);
}

}  // namespace
}  // namespace packprobe::testsupport
