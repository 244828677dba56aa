// The report formats of packprobe-scan, read back by the tools that CI
// systems use: jq for JSON Lines, Python's csv module, and a validating XML
// parser with a JUnit schema.
#include <gtest/gtest.h>

#include <string>

#include "tests/support/component_builder.h"
#include "tests/support/program_runner.h"
#include "tests/support/scratch_dir.h"

namespace packprobe::testsupport {
namespace {

class ScanFormatsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Texts that need quoting in every format: a comma, quotes, an
    // ampersand, a non-Latin name, and a path with a comma and a space.
    // (The metadata reader drops a piece of text that follows an entity
    // with a space, so none does.)
    Put("a, b", "Kit&amp;Co,\"quoted\",\xE6\x97\xA5\xE6\x9C\xAC&lt;1&gt;", {});
    Put("old", "Old", u"VEKStub 2.0.0.0");
    Put("fw", "Firmware kit", {}, "Firmware - Disk");
    WriteFile(cwd_ / "release" / "broken.exe", "not a component");
  }

  void Put(const std::string& stem, const std::string& name, std::u16string comments,
           const std::string& category = "Software - Tools") {
    ComponentContents contents;
    contents.metadataName = stem + ".xml";
    contents.metadata = MetadataXml(name, category);
    if (!comments.empty()) contents.comments = comments;
    std::filesystem::create_directories(cwd_ / "release");
    WriteFile(cwd_ / "release" / (stem + ".exe"), BuildComponent(contents));
  }

  // Scans release/ into report.<format> and runs the shell command on it.
  ProgramResult ScanAndRead(const std::string& format, const std::string& command) {
    const ProgramResult scan =
        RunProgram({PACKPROBE_SCAN_EXE,
                    {"--format", format, "--stub-min", "3.0.0.0", "--software-only", "-o",
                     "report." + format, "release"},
                    cwd_.path(),
                    {{"TMPDIR", tmp_.path().string()}}});
    EXPECT_EQ(scan.exitCode, 2) << scan.err;
    EXPECT_EQ(scan.out, "");
    return RunProgram({"/bin/sh", {"-c", command}, cwd_.path(), {}});
  }

  ScratchDir cwd_;
  ScratchDir tmp_;
};

TEST_F(ScanFormatsTest, JsonLinesParseWithJq) {
  const ProgramResult r = ScanAndRead(
      "jsonl",
      "jq -r 'if .schema then \"header \\(.schema) \\(.options.stub_min)\" "
      "elif .complete then \"closing \\(.total) \\(.counts.invalid) \\(.exit_code)\" "
      "else \"\\(.outcome) \\(.exit_code) \\(.name)\" end' report.jsonl");
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out,
            "header packprobe-scan/4 3000\n"
            "passed 0 Kit&Co,\"quoted\",\xE6\x97\xA5\xE6\x9C\xAC<1>\n"
            "invalid 5 \n"
            "filtered 0 Firmware kit\n"
            "stub-out-of-range 1 Old\n"
            "closing 4 1 2\n");
}

TEST_F(ScanFormatsTest, CsvReadsWithPythonsCsvModule) {
  const ProgramResult r = ScanAndRead(
      "csv",
      "python3 -c '\n"
      "import csv, sys\n"
      "with open(\"report.csv\", newline=\"\", encoding=\"utf-8\") as f:\n"
      "    rows = list(csv.DictReader(f, strict=True))\n"
      "for row in rows:\n"
      "    print(row[\"path\"], row[\"outcome\"], row[\"stub.display\"], row[\"name\"], "
      "row[\"reason.code\"][:4], sep=\"|\")\n"
      "'");
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out,
            "release/a, b.exe|passed|3.0.3.0|Kit&Co,\"quoted\",\xE6\x97\xA5\xE6\x9C\xAC<1>|\n"
            "release/broken.exe|invalid|0.||not-\n"
            "release/fw.exe|filtered|3.0.3.0|Firmware kit|\n"
            "release/old.exe|stub-out-of-range|2.0.0.0|Old|\n");
}

TEST_F(ScanFormatsTest, JunitValidatesAgainstTheSchema) {
  const std::string schema = std::string(PACKPROBE_TESTS_DIR) + "/junit.xsd";
  const ProgramResult r = ScanAndRead(
      "junit", "xmllint --noout --schema '" + schema + "' report.junit && "
               "xmllint --xpath 'concat(count(//testcase), \" \", count(//failure), \" \", "
               "count(//error), \" \", count(//skipped), \" \", //testsuite/@tests, \" \", "
               "//testcase[1]/@name)' report.junit");
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, "4 1 1 1 4 release/a, b.exe\n");
}

}  // namespace
}  // namespace packprobe::testsupport
