// End-to-end tests of packprobe-scan as a release gate: it never passes what
// it did not check, gives every entry of a search a record, keeps every
// record whole or fails visibly, and leaves nothing behind.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <filesystem>
#include <map>
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

// The reason code of each record of a JSON Lines report, by path.
std::map<std::string, std::string> ReasonCodes(const std::vector<Json>& lines) {
  std::map<std::string, std::string> codes;
  for (const Json& line : lines) {
    if (!line.contains("path")) continue;
    codes[line["path"]] = line["outcome"].get<std::string>() + " " +
                          (line["reason"].is_object() ? line["reason"]["code"].get<std::string>() : "-");
  }
  return codes;
}

TEST_F(ScanGateTest, EveryEntryASearchMeetsGetsARecord) {
  PutKit("drop/good.exe");
  fs::create_symlink("nowhere.exe", cwd_ / "drop" / "dangling.exe");
  ASSERT_EQ(mkfifo((cwd_ / "drop" / "fifo.exe").c_str(), 0600), 0);
  fs::create_symlink("/dev/zero", cwd_ / "drop" / "zero.exe");
  fs::create_symlink("loop.exe", cwd_ / "drop" / "loop.exe");
  PutKit("linked/inside.exe");
  fs::create_directory_symlink("../linked", cwd_ / "drop" / "to-linked");
  fs::create_directory_symlink("..", cwd_ / "linked" / "up");

  const ProgramResult plain = Scan({"--format", "jsonl", "drop"});
  EXPECT_EQ(plain.exitCode, 2);
  EXPECT_EQ(ReasonCodes(Lines(plain.out)),
            (std::map<std::string, std::string>{
                {"drop/dangling.exe", "missing dangling-link"},
                {"drop/fifo.exe", "invalid not-regular-file"},
                {"drop/good.exe", "passed -"},
                {"drop/loop.exe", "missing link-loop"},
                {"drop/zero.exe", "invalid not-regular-file"}}));
  // Named directly, the same paths give the same records.
  const ProgramResult named = Scan({"--format", "jsonl", "drop/dangling.exe", "drop/fifo.exe",
                                    "drop/good.exe", "drop/loop.exe", "drop/zero.exe"});
  EXPECT_EQ(ReasonCodes(Lines(named.out)), ReasonCodes(Lines(plain.out)));
  EXPECT_NE(plain.out.find("named pipe"), std::string::npos);
  EXPECT_NE(plain.out.find("the symbolic link to /dev/zero leads to a character device"),
            std::string::npos);

  // --follow searches linked folders and reports a link back to one being
  // searched, once, instead of going round.
  const ProgramResult follow = Scan({"--format", "jsonl", "--follow", "drop"});
  const auto codes = ReasonCodes(Lines(follow.out));
  EXPECT_EQ(codes.at("drop/to-linked/inside.exe"), "passed -");
  EXPECT_EQ(codes.at("drop/to-linked/up"), "invalid folder-loop") << follow.out;
  EXPECT_EQ(codes.size(), 7u) << follow.out;
}

TEST_F(ScanGateTest, AnUnreadableFolderIsNamedAndTheSearchGoesOn) {
  PutKit("perm/a/a.exe");
  PutKit("perm/b/locked/hidden.exe");
  PutKit("perm/b/zz.exe");
  PutKit("perm/c/c.exe");
  fs::permissions(cwd_ / "perm" / "b" / "locked", fs::perms::none);
  // Mode 000 stops only an ordinary user: run as one when the tests run as
  // root.
  fs::permissions(cwd_.path(), fs::perms::all);
  fs::permissions(tmp_.path(), fs::perms::all);
  const auto asUser = [] {
    if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(126);
  };
  const ProgramResult r = Scan({"--format", "jsonl", "perm"}, asUser);
  fs::permissions(cwd_ / "perm" / "b" / "locked", fs::perms::owner_all);
  EXPECT_EQ(r.exitCode, 2) << r.err;
  const std::vector<Json> lines = Lines(r.out);
  EXPECT_EQ(ReasonCodes(lines), (std::map<std::string, std::string>{
                                    {"perm/a/a.exe", "passed -"},
                                    {"perm/b/locked", "system-error folder-unreadable"},
                                    {"perm/b/zz.exe", "passed -"},
                                    {"perm/c/c.exe", "passed -"}}));
  EXPECT_NE(r.out.find("the folder perm/b/locked cannot be searched"), std::string::npos) << r.out;
}

}  // namespace
}  // namespace packprobe::testsupport
