// Hostile file names through snapshot, --manifest and diff (names that
// only POSIX file systems allow).
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <filesystem>
#include <set>
#include <sstream>
#include <string>

#include "tests/support/component_builder.h"
#include "tests/support/program_runner.h"
#include "tests/support/scratch_dir.h"

namespace packprobe::testsupport {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;

TEST(ManifestPosixTest, HostileNamesStayOneLineAndOneRowInEveryDiffFormat) {
  ScratchDir cwd, tmp;
  const std::string stems[] = {"line\nbreak", "esc\x1b[2Kape", "pipe|`tick`<b>", "back\\slash"};
  for (const std::string& stem : stems) {
    ComponentContents kit;
    // The stem ends at the last backslash on POSIX too, as the inspection
    // splits paths.
    kit.metadataName = stem.substr(stem.rfind('\\') + 1) + ".xml";
    kit.metadata = MetadataXml("Kit " + std::to_string(stem.size()), "Software - Tools");
    fs::create_directories(cwd / "old");
    WriteFile(cwd.path() / "old" / (stem + ".exe"), BuildComponent(kit));
    kit.comments = u"VEKStub 3.0.4.0";
    fs::create_directories(cwd / "new");
    WriteFile(cwd.path() / "new" / (stem + ".exe"), BuildComponent(kit));
  }
  const auto run = [&](std::vector<std::string> arguments) {
    return RunProgram({PACKPROBE_SCAN_EXE, std::move(arguments), cwd.path(),
                       {{"TMPDIR", tmp.path().string()}}});
  };
  const ProgramResult snapshot = run({"snapshot", "old", "-o", "old.json"});
  ASSERT_EQ(snapshot.exitCode, 0) << snapshot.err;
  // The manifest round-trips the names: the same folder matches it.
  const ProgramResult check = run({"--manifest", "old.json", "-q", "old"});
  EXPECT_EQ(check.exitCode, 0) << check.out << check.err;

  const ProgramResult text = run({"diff", "old.json", "new"});
  EXPECT_EQ(text.exitCode, 1) << text.err;
  EXPECT_EQ(std::count(text.out.begin(), text.out.end(), '\n'), 6) << text.out;
  EXPECT_EQ(text.out.find('\x1b'), text.out.npos);
  EXPECT_NE(text.out.find("line\\nbreak.exe"), text.out.npos) << text.out;
  EXPECT_NE(text.out.find("back\\slash.exe"), text.out.npos) << text.out;

  const ProgramResult markdown = run({"diff", "old.json", "new", "--format", "markdown"});
  EXPECT_EQ(markdown.exitCode, 1);
  std::size_t rows = 0;
  std::istringstream lines(markdown.out);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("| upgraded", 0) != 0) continue;
    ++rows;
    // Five cells: six unescaped bars.
    std::size_t bars = 0;
    for (std::size_t i = 0; i < line.size(); ++i) bars += line[i] == '|' && (i == 0 || line[i - 1] != '\\');
    EXPECT_EQ(bars, 6u) << line;
    EXPECT_EQ(line.find("<b>"), line.npos) << line;
  }
  EXPECT_EQ(rows, 4u) << markdown.out;

  const ProgramResult jsonl = run({"diff", "old", "new.json", "--format", "jsonl"});
  EXPECT_EQ(jsonl.exitCode, 65);  // new.json does not exist
  ASSERT_EQ(run({"snapshot", "new", "-o", "new.json"}).exitCode, 0);
  const ProgramResult jsonl2 = run({"diff", "old", "new.json", "--format", "jsonl"});
  std::istringstream records(jsonl2.out);
  std::set<std::string> paths;
  for (std::string line; std::getline(records, line);) {
    const Json json = Json::parse(line);
    if (json.contains("change")) paths.insert(json["path"].get<std::string>());
  }
  EXPECT_EQ(paths.size(), 4u);
  EXPECT_TRUE(paths.contains("line\nbreak.exe"));

  // A name that is not UTF-8 cannot be held by a manifest exactly.
  ComponentContents odd;
  odd.metadataName = "odd\xff.xml";
  odd.metadata = MetadataXml("Odd", "Software - Tools");
  WriteFile(cwd.path() / "old" / "odd\xff.exe", BuildComponent(odd));
  WriteFile(cwd.path() / "old" / "esc\x1b[2Kape2.exe", "not a component");
  const ProgramResult refused = run({"snapshot", "old", "-o", "odd.json"});
  EXPECT_EQ(refused.exitCode, 2);
  EXPECT_EQ(refused.err.find('\x1b'), refused.err.npos);
  EXPECT_NE(refused.err.find("not valid UTF-8"), refused.err.npos) << refused.err;
  EXPECT_FALSE(fs::exists(cwd / "odd.json"));
}

}  // namespace
}  // namespace packprobe::testsupport
