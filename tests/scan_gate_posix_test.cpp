// End-to-end tests of packprobe-scan as a release gate: it never passes what
// it did not check, gives every entry of a search a record, keeps every
// record whole or fails visibly, and leaves nothing behind.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/component_builder.h"
#include "tests/support/program_runner.h"
#include "tests/support/scratch_dir.h"

namespace packprobe::testsupport {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;

class ScanGateTest : public ::testing::Test {
 protected:
  void PutKit(const std::string& relative, const std::string& category = "Software - Tools") {
    const fs::path path = cwd_ / relative;
    fs::create_directories(path.parent_path());
    ComponentContents contents;
    contents.metadataName = path.stem().string() + ".xml";
    contents.metadata = MetadataXml("Kit " + path.stem().string(), category);
    WriteFile(path, BuildComponent(contents));
  }

  // Runs the scan in the scratch directory with its own TMPDIR, which must
  // be empty again afterwards.
  ProgramResult Scan(std::vector<std::string> arguments, std::function<void()> setup = {}) {
    ProgramResult result = RunProgram(
        {PACKPROBE_SCAN_EXE, std::move(arguments), cwd_.path(), {{"TMPDIR", tmp_.path().string()}}},
        setup);
    EXPECT_EQ(ListTree(tmp_.path()), std::vector<std::string>{});
    return result;
  }

  // Every line of a JSON Lines report, parsed.
  static std::vector<Json> Lines(const std::string& jsonl) {
    std::vector<Json> lines;
    std::istringstream in(jsonl);
    for (std::string line; std::getline(in, line);) lines.push_back(Json::parse(line));
    return lines;
  }

  ScratchDir cwd_;
  ScratchDir tmp_;
};

TEST_F(ScanGateTest, NothingCheckedIsNoPass) {
  fs::create_directories(cwd_ / "empty");
  fs::create_directories(cwd_ / "only-link");
  PutKit("elsewhere/k.exe");
  fs::create_directory_symlink("../elsewhere", cwd_ / "only-link" / "sub");
  fs::create_directories(cwd_ / "x.exe");
  for (const std::string path : {"empty", "only-link", "x.exe"}) {
    SCOPED_TRACE(path);
    const ProgramResult text = Scan({path});
    EXPECT_EQ(text.exitCode, 3);
    EXPECT_NE(text.err.find("nothing was checked: no component found in " + path), std::string::npos)
        << text.err;
    const ProgramResult jsonl = Scan({"--format", "jsonl", path});
    EXPECT_EQ(jsonl.exitCode, 3);
    const std::vector<Json> lines = Lines(jsonl.out);
    ASSERT_EQ(lines.size(), 2u) << jsonl.out;
    EXPECT_EQ(lines[1]["complete"], true);
    EXPECT_EQ(lines[1]["total"], 0);
    EXPECT_EQ(lines[1]["exit_code"], 3);
    const ProgramResult allowed = Scan({"--allow-empty", path});
    EXPECT_EQ(allowed.exitCode, 0);
    EXPECT_EQ(allowed.err, "");
  }
  // A shard whose share is empty while the paths held components is no
  // empty scan: its workers together checked everything.
  const ProgramResult shard = Scan({"--shard", "0/1000", "--format", "jsonl", "elsewhere"});
  const ProgramResult other = Scan({"--shard", "1/1000", "--format", "jsonl", "elsewhere"});
  EXPECT_EQ(shard.exitCode + other.exitCode, 0);
}

}  // namespace
}  // namespace packprobe::testsupport
