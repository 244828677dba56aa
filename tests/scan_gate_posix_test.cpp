// End-to-end tests of packprobe-scan as a release gate: it never passes what
// it did not check, gives every entry of a search a record, keeps every
// record whole or fails visibly, and leaves nothing behind.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <sstream>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/component_builder.h"
#include "tests/support/pe_builder.h"
#include "tests/support/permission_bits.h"
#include "tests/support/program_runner.h"
#include "tests/support/scratch_dir.h"
#include "tests/support/zip_writer.h"

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
  PutKit("drop/..kit.exe");  // a name, not the folder above
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
                {"drop/..kit.exe", "passed -"},
                {"drop/dangling.exe", "missing dangling-link"},
                {"drop/fifo.exe", "invalid not-regular-file"},
                {"drop/good.exe", "passed -"},
                {"drop/loop.exe", "missing link-loop"},
                {"drop/zero.exe", "invalid not-regular-file"}}));
  // Named directly, the same paths give the same records.
  const ProgramResult named = Scan({"--format", "jsonl", "drop/..kit.exe", "drop/dangling.exe", "drop/fifo.exe",
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
  EXPECT_EQ(codes.size(), 8u) << follow.out;

  // A component deeper than the system opens by path is not "missing": the
  // search names the first level it cannot reach, and named directly the
  // component is a fault of the host.
  {
    std::string relative = "deep";
    fs::create_directory(cwd_ / relative);
    int fd = open((cwd_ / relative).c_str(), O_RDONLY | O_DIRECTORY);
    for (int level = 0; level < 20; ++level) {
      const std::string name(250, static_cast<char>('a' + level));
      ASSERT_EQ(mkdirat(fd, name.c_str(), 0700), 0);
      const int next = openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY);
      close(fd);
      fd = next;
      relative += "/" + name;
    }
    const int file = openat(fd, "k.exe", O_WRONLY | O_CREAT, 0600);
    close(file);
    close(fd);
    WriteFile(cwd_ / "long.txt", relative + "/k.exe\n");
    const auto deep = ReasonCodes(Lines(Scan({"--format", "jsonl", "--files-from", "long.txt", "deep"}).out));
    EXPECT_EQ(deep.size(), 2u);
    for (const auto& [path, code] : deep) EXPECT_EQ(code, "system-error path-too-long") << path;
    // Removed level by level: the scratch directory's removal goes by path.
    std::vector<int> fds = {open((cwd_ / "deep").c_str(), O_RDONLY | O_DIRECTORY)};
    for (int level = 0; level < 20; ++level) {
      fds.push_back(openat(fds.back(), std::string(250, static_cast<char>('a' + level)).c_str(),
                           O_RDONLY | O_DIRECTORY));
    }
    unlinkat(fds.back(), "k.exe", 0);
    for (int level = 19; level >= 0; --level) {
      close(fds[level + 1]);
      unlinkat(fds[level], std::string(250, static_cast<char>('a' + level)).c_str(), AT_REMOVEDIR);
    }
    close(fds[0]);
  }

  // Two named folders that hold the same relative file give two records.
  PutKit("one/same.exe");
  PutKit("two/same.exe");
  EXPECT_EQ(ReasonCodes(Lines(Scan({"--format", "jsonl", "one", "two"}).out)),
            (std::map<std::string, std::string>{{"one/same.exe", "passed -"},
                                                {"two/same.exe", "passed -"}}));
}

TEST_F(ScanGateTest, AnUnreadableFolderIsNamedAndTheSearchGoesOn) {
  PutKit("perm/a/a.exe");
  PutKit("perm/b/locked/hidden.exe");
  PutKit("perm/b/zz.exe");
  PutKit("perm/c/c.exe");
  fs::permissions(cwd_ / "perm" / "b" / "locked", fs::perms::none);
  // Mode 000 stops the superuser only once it obeys permission bits.
  constexpr int kCannotObey = 125;
  const ProgramResult r = Scan({"--format", "jsonl", "perm"}, [] {
    if (geteuid() == 0 && !ObeyPermissionBits()) _exit(kCannotObey);
  });
  fs::permissions(cwd_ / "perm" / "b" / "locked", fs::perms::owner_all);
  if (r.exitCode == kCannotObey) GTEST_SKIP() << "the superuser cannot be made to obey permissions";
  EXPECT_EQ(r.exitCode, 2) << r.err;
  const std::vector<Json> lines = Lines(r.out);
  EXPECT_EQ(ReasonCodes(lines), (std::map<std::string, std::string>{
                                    {"perm/a/a.exe", "passed -"},
                                    {"perm/b/locked", "system-error folder-unreadable"},
                                    {"perm/b/zz.exe", "passed -"},
                                    {"perm/c/c.exe", "passed -"}}));
  EXPECT_NE(r.out.find("the folder perm/b/locked cannot be searched"), std::string::npos) << r.out;
}

TEST_F(ScanGateTest, RangeBoundsThatWouldBeMisreadAreUsageErrorsThatSayWhy) {
  PutKit("rel/k.exe");
  const struct {
    std::vector<std::string> arguments;
    std::string says;
  } cases[] = {
      {{"--stub-min", "4,0,0,0"}, "\"4,0,0,0\" is not a version of four one-digit parts such as 3.0.3.0 (it would be read as 4"},
      {{"--stub-min", "3.0.10.0"}, "(it would be read as 30100, which is 3.0.1.0)"},
      {{"--setup-max", "3"}, "--setup-max: \"3\" is not a version"},
      {{"--setup-max", ""}, "--setup-max: \"\" is not a version"},
      {{"--stub-min", "3.1.0.0", "--stub-max", "3.0.3.0"},
       "--stub-min 3.1.0.0 is above --stub-max 3.0.3.0: no component could pass"},
      {{"--setup-min", "9.0.0.0", "--setup-max", "8.9.9.9"}, "--setup-min 9.0.0.0 is above"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> arguments = c.arguments;
    arguments.push_back("rel");
    const ProgramResult r = Scan(arguments);
    EXPECT_EQ(r.exitCode, 64) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
  }
  EXPECT_EQ(Scan({"--stub-min", "3.0.3.0", "--stub-max", "3.0.3.0", "rel"}).exitCode, 0);
}

// 600 components, each extracting its setup program into a work directory
// (its resource section is beyond what a check keeps in memory): one
// archive that holds every component's metadata entry, linked under 600
// names.
void Build600Components(const fs::path& folder) {
  // Appended rather than "k" + std::to_string(i), which GCC 12 at -O2 warns
  // about (-Wrestrict) wrongly.
  const auto kitName = [](int i, const char* extension) {
    std::string name = "k";
    return name.append(std::to_string(i)).append(extension);
  };
  std::vector<ZipWriterEntry> entries;
  for (int i = 0; i < 600; ++i) {
    ZipWriterEntry metadata;
    metadata.name = kitName(i, ".xml");
    metadata.data = MetadataXml("Kit", "Software - Tools");
    entries.push_back(std::move(metadata));
  }
  ZipWriterEntry setup;
  setup.name = "veksetup.exe";
  setup.data = SetupProgram(u"7.9.1.0", (std::size_t{64} << 20) + 4096);
  entries.push_back(std::move(setup));
  fs::create_directories(folder);
  WriteFile(folder / "k0.exe",
            BuildArchive(entries, BuildVersionedProgram({{u"Comments", u"VEKStub 3.0.3.0"}})));
  for (int i = 1; i < 600; ++i) {
    fs::create_hard_link(folder / "k0.exe", folder / kitName(i, ".exe"));
  }
}

TEST_F(ScanGateTest, CancellationLeavesNothingBehindAtEveryJobCount) {
  Build600Components(cwd_ / "big");
  fs::create_directories(cwd_ / "out");
  std::mt19937 random(std::random_device{}());
  for (const char* jobs : {"1", "2", "16", "200", "1024"}) {
    const int delayMs = std::uniform_int_distribution<int>(50, 800)(random);
    SCOPED_TRACE(std::string("-j ") + jobs + ", SIGTERM after " + std::to_string(delayMs) + " ms");
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      if (chdir(cwd_.path().c_str()) != 0) _exit(127);
      setenv("TMPDIR", tmp_.path().c_str(), 1);
      const int null = open("/dev/null", O_WRONLY);
      dup2(null, STDOUT_FILENO);
      dup2(null, STDERR_FILENO);
      execl(PACKPROBE_SCAN_EXE, PACKPROBE_SCAN_EXE, "-j", jobs, "--format", "jsonl", "-o",
            "out/report.jsonl", "big", static_cast<char*>(nullptr));
      _exit(127);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
    kill(child, SIGTERM);
    int status = 0;
    waitpid(child, &status, 0);
    // Killed by the signal, or finished before it came.
    EXPECT_TRUE((WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) ||
                (WIFEXITED(status) && WEXITSTATUS(status) == 0))
        << status;
    EXPECT_EQ(ListTree(tmp_.path()), std::vector<std::string>{});
    const std::vector<std::string> out = ListTree(cwd_ / "out");
    EXPECT_TRUE(out.empty() || (WIFEXITED(status) && out == std::vector<std::string>{"report.jsonl"}))
        << testing::PrintToString(out);
    fs::remove_all(cwd_ / "out");
    fs::create_directories(cwd_ / "out");
  }

#ifndef __SANITIZE_ADDRESS__  // the sanitizers' runtime needs descriptors of its own
  // With descriptors nearly gone, checks fail as faults of the host, and
  // their work directories still go.
  const ProgramResult starved = Scan({"-j", "16", "--format", "jsonl", "big"}, [] {
    rlimit limit{8, 8};
    setrlimit(RLIMIT_NOFILE, &limit);
  });
  EXPECT_EQ(starved.exitCode, 2);
  EXPECT_NE(starved.out.find("host-too-many-files"), std::string::npos);
#endif
}

TEST_F(ScanGateTest, ReasonsSayWhatTheFileIs) {
  fs::create_directories(cwd_ / "words");
  const std::string program = BuildVersionedProgram({{u"Comments", u"VEKStub 3.0.3.0"}});
  ComponentContents kit;
  kit.metadataName = "cut.xml";
  kit.metadata = MetadataXml("Kit", "Software - Tools");
  const std::string whole = BuildComponent(kit);
  WriteFile(cwd_ / "words" / "empty.exe", "");
  WriteFile(cwd_ / "words" / "text.exe", "just some text\n");
  WriteFile(cwd_ / "words" / "program.exe", program);
  WriteFile(cwd_ / "words" / "cut.exe", whole.substr(0, whole.size() - 30));
  kit.metadataName = "original.xml";
  WriteFile(cwd_ / "words" / "renamed.exe", BuildComponent(kit));
  kit.metadataName = "bad-xml.xml";
  kit.metadata = "<vek_package><name>";
  WriteFile(cwd_ / "words" / "bad-xml.exe", BuildComponent(kit));
  kit.metadataName = "old.xml";
  kit.metadata = MetadataXml("Kit", "Software - Tools");
  WriteFile(cwd_ / "words" / "old.exe", BuildComponent(kit));
  kit.metadataName = "rc.xml";
  kit.comments = u"VEKStub 3.0.3.0 rc1";  // a warning: its last seven characters
  WriteFile(cwd_ / "words" / "rc.exe", BuildComponent(kit));

  const ProgramResult jsonl = Scan({"--format", "jsonl", "--stub-min", "3.0.4.0", "words"});
  std::map<std::string, Json> byPath;
  for (const Json& line : Lines(jsonl.out)) {
    if (line.contains("path")) byPath[line["path"]] = line;
  }
  const auto reason = [&](const std::string& path) {
    const Json& record = byPath.at("words/" + path);
    return record["outcome"].get<std::string>() + " " + record["reason"]["code"].get<std::string>() +
           ": " + record["reason"]["detail"].get<std::string>();
  };
  EXPECT_EQ(reason("empty.exe"), "invalid component-empty: the file is empty (0 bytes): no program, no archive");
  EXPECT_EQ(reason("text.exe"), "invalid not-a-program: the file (15 bytes) is not a Windows program "
                                "(it does not start with \"MZ\"), and no archive ends it");
  EXPECT_NE(reason("program.exe").find("invalid nothing-appended: a Windows program (1,"),
            std::string::npos);
  EXPECT_NE(reason("program.exe").find(" bytes) with nothing appended: its sections end at byte " +
                                       std::to_string(program.size()) + ", the end of the file"),
            std::string::npos);
  EXPECT_NE(reason("cut.exe").find("invalid archive-truncated: an archive starts at byte " +
                                   std::to_string(program.size())),
            std::string::npos);
  EXPECT_EQ(reason("renamed.exe"),
            "invalid metadata-missing: the archive holds no entry named renamed.xml; its one .xml "
            "entry is original.xml (a component renamed after it was built keeps its old metadata name)");
  // Metadata that does not load is the package's fault; PACKPROBE's status
  // and exit code stay.
  EXPECT_EQ(reason("bad-xml.exe").substr(0, 29), "invalid metadata-load-syntax:");
  EXPECT_EQ(byPath.at("words/bad-xml.exe")["status"], 6);

  // Text: no header under -q, the range of a version out of it, warnings
  // counted in the summary.
  const ProgramResult text = Scan({"-q", "--stub-min", "3.0.4.0", "words"});
  EXPECT_EQ(text.out.rfind("OUTCOME", 0), std::string::npos);
  EXPECT_NE(text.out.find("    range: VEKStub 3.0.3.0 (3030) is outside its range 3.0.4.0 to 9.9.9.9 "
                          "(3040 to 9999)\n"),
            std::string::npos)
      << text.out;
  EXPECT_NE(text.out.find("8 components: 0 passed, 2 failed, 6 invalid, 1 warning, in "),
            std::string::npos)
      << text.out;
}

TEST_F(ScanGateTest, EveryOutcomeInEveryFormatStatesItsTotalsAndExitCode) {
  PutKit("one/kit.exe");
  WriteFile(cwd_ / "broken.exe", "MZ and nothing else");
  // A setup program beyond the capture bound is the one a check writes.
  ComponentContents large;
  large.metadataName = "kit.xml";
  large.metadata = MetadataXml("Kit large", "Software - Tools");
  large.setupResourceSectionSize = (std::size_t{64} << 20) + 4096;
  fs::create_directories(cwd_ / "large");
  WriteFile(cwd_ / "large/kit.exe", BuildComponent(large));
  const struct Row {
    std::string outcome;
    std::vector<std::string> arguments;
    int exitCode;
    std::string summary;   // the text report's last line, up to ", in"
    std::string junit;     // tests, failures, errors, skipped
  } rows[] = {
      {"passed", {"one"}, 0, "1 component: 1 passed", "1 0 0 0"},
      {"filtered", {"--firmware-only", "one"}, 0, "1 component: 0 passed, 1 filtered", "1 0 0 1"},
      {"stub-out-of-range", {"--stub-min", "3.0.4.0", "one"}, 1, "1 component: 0 passed, 1 failed", "1 1 0 0"},
      {"setup-out-of-range", {"--setup-max", "7.0.0.0", "one"}, 1, "1 component: 0 passed, 1 failed", "1 1 0 0"},
      {"both-out-of-range", {"--stub-min", "3.0.4.0", "--setup-max", "7.0.0.0", "one"}, 1,
       "1 component: 0 passed, 1 failed", "1 1 0 0"},
      {"missing", {"nothere.exe"}, 2, "1 component: 0 passed, 1 missing", "1 0 1 0"},
      {"invalid", {"broken.exe"}, 2, "1 component: 0 passed, 1 invalid", "1 0 1 0"},
      // A fault of the host: no work directory can be made.
      {"system-error", {"large"}, 2, "1 component: 0 passed, 1 system error", "1 0 1 0"},
      // Against a release manifest (made below); absent, which needs a
      // second record, is tested with the manifests.
      {"version-changed", {"--manifest", "version.json", "one"}, 4,
       "1 component: 0 passed, 1 differing from the manifest", "1 1 0 0"},
      {"content-changed", {"--manifest", "content.json", "one"}, 4,
       "1 component: 0 passed, 1 differing from the manifest", "1 1 0 0"},
      {"metadata-changed", {"--manifest", "metadata.json", "one"}, 4,
       "1 component: 0 passed, 1 differing from the manifest", "1 1 0 0"},
      {"unexpected", {"--manifest", "empty.json", "one"}, 4,
       "1 component: 0 passed, 1 differing from the manifest", "1 1 0 0"},
  };
  const std::string manifest =
      RunProgram({PACKPROBE_SCAN_EXE, {"snapshot", "one"}, cwd_.path(), {{"TMPDIR", tmp_.path().string()}}}).out;
  const auto variant = [&](const std::string& name, const std::string& from, const std::string& to) {
    std::string text = manifest;
    const std::size_t at = text.find(from);
    ASSERT_NE(at, std::string::npos) << from;
    WriteFile(cwd_ / name, text.replace(at, from.size(), to));
  };
  variant("version.json", "\"version\":3030", "\"version\":3020");
  // Another digest of the same length: its first digit changed.
  const std::size_t digest = manifest.find("\"sha256\":\"") + 10;
  variant("content.json", manifest.substr(digest - 10, 11),
          manifest.substr(digest - 10, 10) + (manifest[digest] == '0' ? "1" : "0"));
  variant("metadata.json", "\"type\":\"software\"", "\"type\":\"firmware\"");
  WriteFile(cwd_ / "empty.json", "{\"schema\":\"packprobe-manifest/1\",\"components\":[]}");
  for (const Row& row : rows) {
    for (const char* format : {"text", "jsonl", "csv", "junit"}) {
      SCOPED_TRACE(row.outcome + " " + format);
      std::vector<std::string> arguments = {"--format", format};
      arguments.insert(arguments.end(), row.arguments.begin(), row.arguments.end());
      const std::string tmpdir = row.outcome == "system-error" ? (tmp_ / "gone").string()
                                                               : tmp_.path().string();
      const ProgramResult r =
          RunProgram({PACKPROBE_SCAN_EXE, arguments, cwd_.path(), {{"TMPDIR", tmpdir}}});
      EXPECT_EQ(r.exitCode, row.exitCode) << r.err;
      EXPECT_EQ(r.err, "");
      const std::string format_(format);
      if (format_ == "text") {
        EXPECT_NE(r.out.find("\n" + row.summary + ", in "), std::string::npos) << r.out;
        EXPECT_EQ(r.out.rfind(row.outcome + " ", r.out.find('\n') + 1), r.out.find('\n') + 1) << r.out;
      } else if (format_ == "jsonl") {
        const std::vector<Json> lines = Lines(r.out);
        ASSERT_EQ(lines.size(), 3u);
        EXPECT_EQ(lines[1]["outcome"], row.outcome);
        const Json& closing = lines[2];
        EXPECT_EQ(closing["complete"], true);
        EXPECT_EQ(closing["total"], 1);
        EXPECT_EQ(closing["exit_code"], row.exitCode);
        EXPECT_EQ(closing["counts"].size(), 14u);
        for (const auto& [outcome, n] : closing["counts"].items()) {
          EXPECT_EQ(n, outcome == row.outcome ? 1 : 0) << outcome;
        }
      } else if (format_ == "csv") {
        EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 2) << r.out;
        EXPECT_NE(r.out.find("," + row.outcome + ","), std::string::npos) << r.out;
      } else {
        WriteFile(cwd_ / "report.xml", r.out);
        const ProgramResult counts = RunProgram(
            {"/usr/bin/xmllint",
             {"--xpath", "concat(string(/testsuites/@tests), ' ', /testsuites/@failures, ' ', "
                         "/testsuites/@errors, ' ', /testsuites/@skipped, '|', string(//testsuite/@tests), ' ', "
                         "//testsuite/@failures, ' ', //testsuite/@errors, ' ', //testsuite/@skipped)",
              "report.xml"},
             cwd_.path(), {}});
        EXPECT_EQ(counts.out, row.junit + "|" + row.junit + "\n") << counts.err;
      }
    }
  }
}

std::string MissingList(int count);

TEST_F(ScanGateTest, ResourceFailuresAreReportedNeverSilentNeverACrash) {
  PutKit("rel/a.exe");
  PutKit("rel/b.exe");
  // Threads that cannot all start (each wants its stack in an address space
  // too small for all of them): fewer check, and the scan says so.
  WriteFile(cwd_ / "list.txt", MissingList(80));
#ifndef __SANITIZE_ADDRESS__  // the sanitizers' shadow memory needs more address space
  const ProgramResult fewer =
      Scan({"-j", "64", "--format", "jsonl", "--files-from", "list.txt", "rel"}, [] {
        rlimit limit{400u << 20, 400u << 20};
        setrlimit(RLIMIT_AS, &limit);
      });
  EXPECT_NE(fewer.err.find("could not start all 64 threads; checking with "), std::string::npos)
      << fewer.err;
  // The threads that run may still find the address space too small for
  // their checks (the allocator's own per-thread reservations count too):
  // then the scan says so and ends in 71, never with a short report.
  if (fewer.exitCode == 71) {
    EXPECT_NE(fewer.err.find("packprobe-scan: out of memory"), std::string::npos) << fewer.err;
  } else {
    EXPECT_EQ(fewer.exitCode, 2) << fewer.err;
    EXPECT_EQ(Lines(fewer.out).back()["total"], 82);
  }
#endif

  // An endless --files-from ends at once in a clear usage error.
  const ProgramResult endless = Scan({"--files-from", "/dev/zero"});
  EXPECT_EQ(endless.exitCode, 64);
  EXPECT_NE(endless.err.find("holds a NUL byte"), std::string::npos) << endless.err;
  WriteFile(cwd_ / "wide.txt", std::string(40000, 'x'));
  EXPECT_NE(Scan({"--files-from", "wide.txt"}).err.find("has a line longer than 32,768 bytes"),
            std::string::npos);

  // Each allocation of a run refused in turn, over every format: the scan
  // ends with its verdict, or with 71 and a message, never in a crash, and
  // leaves nothing behind. The command-line library's own globals allocate
  // before the program starts, where nothing can catch a failure: those
  // first few points may abort.
  const char* formats[] = {"text", "jsonl", "csv", "junit"};
  bool started = false;
  int points = 0;
#ifdef __SANITIZE_ADDRESS__
  constexpr int kStride = 5;  // each run starts slowly under the sanitizers
#else
  constexpr int kStride = 1;
#endif
  for (int n = 1; n < 100000; n += kStride) {
    const std::string format = formats[n % 4];
    const ProgramResult r = RunProgram(
        {PACKPROBE_SCAN_FAILING_ALLOCATOR_EXE, {"--format", format, "-j", "2", "rel", "nothere.exe"},
         cwd_.path(), {{"TMPDIR", tmp_.path().string()}, {"PACKPROBE_FAIL_ALLOCATION", std::to_string(n)}}});
    if (r.err.empty()) break;  // the run made fewer than n allocations
    ++points;
    if (!started && r.exitCode == -1 && n < 64) continue;
    started = true;
    ASSERT_TRUE(r.exitCode == 0 || r.exitCode == 2 || r.exitCode == 71)
        << "allocation " << n << " (" << format << ") gave " << r.exitCode << ": " << r.err;
    if (r.exitCode == 71) {
      EXPECT_NE(r.err.find("packprobe-scan: out of memory"), std::string::npos) << n;
    }
    ASSERT_EQ(ListTree(tmp_.path()), std::vector<std::string>{}) << "allocation " << n;
  }
  EXPECT_GT(points, 500 / kStride);
}

std::string Base64Decode(const std::string& text) {
  const std::string digits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string bytes;
  unsigned value = 0;
  int bits = 0;
  for (const char c : text) {
    if (c == '=') break;
    value = value << 6 | static_cast<unsigned>(digits.find(c));
    if ((bits += 6) >= 8) bytes += static_cast<char>((value >> (bits -= 8)) & 0xFF);
  }
  return bytes;
}

TEST_F(ScanGateTest, HostileNamesAndStringsNeitherAddNorRemoveARecordInAnyFormat) {
  const std::vector<std::string> names = {
      "a\nb.exe",          "tab\there.exe",      "cr\rhere.exe",   "esc\x1b[2Kx.exe",
      "bad\xff\xfe.exe",    "bad\xfe\xff.exe",     "ffff\xef\xbf\xbf.exe", "\"quoted.exe",
      "back\\slash.exe",   "amp&<lt>'q\".exe",   "forged.exe"};
  for (const std::string& name : names) {
    ComponentContents contents;
    contents.metadataName = name.substr(0, name.size() - 4) + ".xml";
    contents.metadata = MetadataXml("Kit", "Software - Tools");
    if (name == "forged.exe") {
      // Package strings that try to forge a line, drive the terminal, and
      // hold characters that XML 1.0 cannot.
      contents.comments = u"VEKStub 3.0.3.0\npassed 0 3.0.3.0 7.9.1.0 software "
                          u"release/forged-by-comments.exe\x1b[2K\uFFFE";
      contents.setupFileVersion = u"7.9.1.0\uFFFF";
    }
    fs::create_directories(cwd_ / "hostile");
    WriteFile(cwd_ / "hostile" / name, BuildComponent(contents));
  }
  const std::size_t count = names.size();
  const auto shell = [&](const std::string& command) {
    return RunProgram({"/bin/sh", {"-c", command}, cwd_.path(), {}});
  };
  for (const char* format : {"text", "jsonl", "csv", "junit"}) {
    SCOPED_TRACE(format);
    const ProgramResult r = Scan({"--format", format, "-o", std::string("report.") + format, "hostile"});
    EXPECT_EQ(r.exitCode, 2) << r.err;
  }

  // JSON Lines: jq reads every line; each path is distinct and its raw
  // bytes come back.
  const ProgramResult jq = shell("jq -c 'select(.path) | [.path, .path_bytes]' report.jsonl");
  EXPECT_EQ(jq.exitCode, 0) << jq.err;
  std::set<std::string> paths;
  std::set<std::string> raw;
  for (const Json& line : Lines(jq.out)) {
    paths.insert(line[0].get<std::string>());
    raw.insert(line[1].is_null() ? line[0].get<std::string>() : Base64Decode(line[1]));
  }
  EXPECT_EQ(paths.size(), count);
  std::set<std::string> expected;
  for (const std::string& name : names) expected.insert("hostile/" + name);
  EXPECT_EQ(raw, expected);
  EXPECT_TRUE(paths.count("\"hostile/bad\\xff\\xfe.exe\"")) << jq.out;

  // Text: one line per record (and indented detail lines), no control
  // character but the line ends.
  const std::string text = ReadFile(cwd_ / "report.text");
  EXPECT_EQ(text.find('\x1b'), std::string::npos);
  EXPECT_EQ(text.find('\r'), std::string::npos);
  std::size_t rows = 0;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty() && line[0] != ' ' && line.rfind("OUTCOME", 0) != 0 &&
        line.find(" components: ") == std::string::npos) {
      ++rows;
      EXPECT_NE(line.find("hostile/"), std::string::npos) << line;
    }
  }
  EXPECT_EQ(rows, count) << text;
  EXPECT_NE(text.find("\\npassed 0 3.0.3.0"), std::string::npos) << text;

  // CSV: Python reads as many distinct rows.
  const ProgramResult csv = shell(
      "python3 -c 'import csv; rows = list(csv.DictReader(open(\"report.csv\", newline=\"\", "
      "encoding=\"utf-8\"), strict=True)); print(len(rows), len({r[\"path\"] for r in rows}))'");
  EXPECT_EQ(csv.out, std::to_string(count) + " " + std::to_string(count) + "\n") << csv.err;

  // JUnit: valid against the schema, as many distinct test cases, and a
  // name holding a newline keeps it.
  const std::string schema = std::string(PACKPROBE_TESTS_DIR) + "/junit.xsd";
  const ProgramResult junit = shell(
      "xmllint --noout --schema '" + schema + "' report.junit && python3 -c 'import "
      "xml.etree.ElementTree as E; t = E.parse(\"report.junit\").getroot(); n = [c.get(\"name\") "
      "for c in t.iter(\"testcase\")]; print(len(n), len(set(n)), t.find(\"testsuite\").get(\"tests\"))'");
  EXPECT_EQ(junit.exitCode, 0) << junit.err;
  EXPECT_EQ(junit.out, std::to_string(count) + " " + std::to_string(count) + " " +
                           std::to_string(count) + "\n");
}

// A list of count paths that do not exist: as many missing records, cheaply.
std::string MissingList(int count) {
  std::string list;
  for (int i = 0; i < count; ++i) list += "gone/m" + std::to_string(100000 + i) + ".exe\n";
  return list;
}

TEST_F(ScanGateTest, EveryReportIsWholeOrFailsWithItsOwnCode) {
  // 3,000 JUnit test cases are more than a report holds back in memory: the
  // rest waits in TMPDIR, and comes back whole.
  WriteFile(cwd_ / "list.txt", MissingList(3000));
  const ProgramResult whole = Scan({"--format", "junit", "--files-from", "list.txt"});
  EXPECT_EQ(whole.exitCode, 2);
  EXPECT_NE(whole.out.find("<testsuite name=\"packprobe-scan\" tests=\"3000\""), std::string::npos);
  std::size_t testcases = 0;
  for (std::size_t at = 0; (at = whole.out.find("<testcase ", at)) != std::string::npos; ++at) {
    ++testcases;
  }
  EXPECT_EQ(testcases, 3000u);

  // Where the held-back part cannot be kept, the report fails visibly.
  const ProgramResult noTmp =
      RunProgram({PACKPROBE_SCAN_EXE, {"--format", "junit", "--files-from", "list.txt"}, cwd_.path(),
                  {{"TMPDIR", (tmp_ / "gone").string()}}});
  EXPECT_EQ(noTmp.exitCode, 74);
  EXPECT_NE(noTmp.err.find("held-back part"), std::string::npos) << noTmp.err;
  EXPECT_EQ(noTmp.out.find("</testsuites>"), std::string::npos);

  // -o replaces its file only with a whole report: a file-size limit keeps
  // the old one, and leaves no temporary file beside it.
  fs::create_directories(cwd_ / "out");
  WriteFile(cwd_ / "out" / "report.jsonl", "old\n");
  const ProgramResult limited =
      Scan({"--format", "jsonl", "-o", "out/report.jsonl", "--files-from", "list.txt"},
           [] {
             rlimit limit{64 << 10, 64 << 10};
             setrlimit(RLIMIT_FSIZE, &limit);
           });
  EXPECT_EQ(limited.exitCode, 74);
  EXPECT_NE(limited.err.find("File too large"), std::string::npos) << limited.err;
  EXPECT_EQ(ListTree(cwd_ / "out"), std::vector<std::string>{"report.jsonl"});
  EXPECT_EQ(ReadFile(cwd_ / "out" / "report.jsonl"), "old\n");
  const ProgramResult replaced =
      Scan({"--format", "jsonl", "-o", "out/report.jsonl", "--files-from", "list.txt"});
  EXPECT_EQ(replaced.exitCode, 2);
  EXPECT_EQ(Lines(ReadFile(cwd_ / "out" / "report.jsonl")).back()["total"], 3000);
  // New reports get the mode new files get, not a temporary file's.
  EXPECT_EQ(Scan({"--format", "jsonl", "-o", "out/new.jsonl", "--also", "csv:out/new.csv", "--files-from",
                  "list.txt"},
                 [] { umask(022); })
                .exitCode,
            2);
  for (const char* name : {"new.jsonl", "new.csv"}) {
    EXPECT_EQ(fs::status(cwd_ / "out" / name).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read)
        << name;
  }

  // One code for each unrelated failure.
  PutKit("rel/victim.exe");
  const std::string victim = ReadFile(cwd_ / "rel" / "victim.exe");
  WriteFile(cwd_ / "rel" / "broken.exe", "not a component");
  EXPECT_EQ(Scan({"rel"}).exitCode, 2);
  EXPECT_EQ(Scan({"-o", "/dev/full", "rel"}).exitCode, 74);
  EXPECT_EQ(Scan({"-o", "nodir/x", "rel"}).exitCode, 74);
  const ProgramResult input = Scan({"-o", "rel/victim.exe", "rel"});
  EXPECT_EQ(input.exitCode, 64);
  EXPECT_NE(input.err.find("it is the component rel/victim.exe"), std::string::npos) << input.err;
  EXPECT_EQ(ReadFile(cwd_ / "rel" / "victim.exe"), victim);
  EXPECT_EQ(Scan({"-o", "list.txt", "--files-from", "list.txt"}).exitCode, 64);
  for (const std::vector<std::string>& arguments :
       {std::vector<std::string>{"--help"}, std::vector<std::string>{"--version"}}) {
    EXPECT_EQ(Scan(arguments, [] { if (!freopen("/dev/full", "w", stdout)) _exit(126); }).exitCode, 74);
  }

  // A closed output pipe stops the scan at once, with its own code.
  const ProgramResult closed = Scan({"--format", "jsonl", "--files-from", "list.txt"}, [] {
    int pipeEnds[2];
    if (pipe(pipeEnds) != 0) _exit(125);
    close(pipeEnds[0]);
    dup2(pipeEnds[1], STDOUT_FILENO);
  });
  EXPECT_EQ(closed.exitCode, 74);
  EXPECT_NE(closed.err.find("Broken pipe"), std::string::npos) << closed.err;
}

}  // namespace
}  // namespace packprobe::testsupport
