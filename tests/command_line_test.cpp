// End-to-end tests: the built program's whole output and exit code.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/program_runner.h"
#include "tests/support/scratch_dir.h"

namespace packprobe::testsupport {
namespace {

const std::string kLogo =
    "PACKPROBE.EXE\n"
    "Verifies the VEKStub and VEKSetup versions of a component.\n\n";

const std::string kUsage = kLogo +
    "PACKPROBE.EXE Usage\n\n"
    "  PACKPROBE.EXE [Component Name] <Parameters>\n\n"
    "Parameters\n\n"
    "  /stubmin:<ver>    Specifies the minimum VEKStub version to check\n"
    "  /stubmax:<ver>    Specifies the maximum VEKStub version to check\n"
    "  /setupmin:<ver>   Specifies the minimum VEKSetup version to check\n"
    "  /setupmax:<ver>   Specifies the maximum VEKSetup version to check\n"
    "  /fwonly           Check only firmware components\n"
    "  /swonly           Check only software components\n"
    "  /?,/help          Shows this help message\n"
    "  /nologo           Prevents the program header from appearing\n"
    "  /verbose          Prints all of the component information found\n"
    "\nError Return Codes\n\n"
    "  0\tComponent passed the version check\n"
    "  1\tThe VEKStub validation checked failed.\n"
    "  2\tThe VEKSetup validation checked failed.\n"
    "  3\tVEKStub and VEKSetup validation check failed.\n"
    "  4\tInvalid command line parameter(s).\n"
    "  5\tThe specified component does not exist.\n"
    "  6\tAn invalid component was specified.\n"
    "  7\tA System error occurred during processing.\n"
    "\nExamples:\n\n"
    "  PACKPROBE.EXE kitdemo1.exe /nologo /stubmin:3.0.0.0 /stubmax:3.0.3.0\n\n"
    "  PACKPROBE.EXE kitdemo1.exe /nologo /stubmin:3.0.0.0 /fwonly\n\n"
    "  PACKPROBE.EXE kitdemo1.exe /swonly\n\n"
    "  PACKPROBE.EXE /?\n";

const std::string kInvalid = "Invalid command line parameters.\n\n\n" + kUsage;

ProgramResult RunPackProbe(std::vector<std::string> arguments) {
  ScratchDir cwd;
  ProgramResult result = RunProgram({PACKPROBE_EXE, std::move(arguments), cwd.path(), {}});
  EXPECT_EQ(result.err, "") << "nothing may reach standard error";
  EXPECT_TRUE(ListTree(cwd.path()).empty()) << "the current directory must stay untouched";
  return result;
}

TEST(CommandLineTest, NoArgumentsIsInvalid) {
  const ProgramResult r = RunPackProbe({});
  EXPECT_EQ(r.out, kInvalid);
  EXPECT_EQ(r.exitCode, 3);
}

TEST(CommandLineTest, HelpPrintsUsageWithLogoEvenWithNoLogo) {
  for (const auto& arguments : std::vector<std::vector<std::string>>{
           {"/?"}, {"/help", "/nologo"}, {"kit.exe", "/stubmin:3.0.0.0", "/?"}}) {
    const ProgramResult r = RunPackProbe(arguments);
    EXPECT_EQ(r.out, kUsage);
    EXPECT_EQ(r.exitCode, 0);
  }
}

TEST(CommandLineTest, FaultyValuesAreInvalidEvenWithHelp) {
  for (const auto& arguments : std::vector<std::vector<std::string>>{
           {"/stubmin:"}, {"kit.exe", "/stubmin:"}, {"/?", "/stubmin"},
           {"kit.exe", "/setupmax:-1"}, {"kit.exe", "/stubmax:..."},
           {"kit.exe", "/stubmin:12345678"}, {"/componentlist"}, {"/componentlist:"},
           {"kit.exe", ""}}) {
    const ProgramResult r = RunPackProbe(arguments);
    EXPECT_EQ(r.out, kInvalid) << arguments.back();
    EXPECT_EQ(r.exitCode, 3) << arguments.back();
  }
}

TEST(CommandLineTest, ComponentListAlonePrintsTheLogoOnly) {
  ProgramResult r = RunPackProbe({"/componentlist:x"});
  EXPECT_EQ(r.out, kLogo);
  EXPECT_EQ(r.exitCode, 0);

  r = RunPackProbe({"/componentlist:x", "/nologo"});
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.exitCode, 0);
}

TEST(CommandLineTest, NonAsciiArgumentsDoNotBreakTheParse) {
  const ProgramResult r = RunPackProbe({"/componentlist:\xE6\x97\xA5\xFF", "-\xC3\xA9"});
  EXPECT_EQ(r.out, kLogo);
  EXPECT_EQ(r.exitCode, 0);
}

}  // namespace
}  // namespace packprobe::testsupport
