// End-to-end tests of release manifests and release diffs: snapshot, the
// check against a manifest in every format, and diff of folders, reports
// and manifests in every mix.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <filesystem>
#include <functional>
#include <map>
#include <set>
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

ComponentContents Kit(const std::string& stem, const std::string& category = "Software - Tools") {
  ComponentContents contents;
  contents.metadataName = stem + ".xml";
  contents.metadata = MetadataXml("Kit " + stem, category);
  return contents;
}

// The release every test starts from: a software kit at the top, one in a
// subfolder, a firmware kit and a kit without a setup program.
const std::map<std::string, ComponentContents>& BaseRelease() {
  static const auto* release = [] {
    auto* kits = new std::map<std::string, ComponentContents>;
    (*kits)["alpha.exe"] = Kit("alpha");
    (*kits)["sub/beta.exe"] = Kit("beta");
    (*kits)["fw.exe"] = Kit("fw", "Firmware - Storage");
    ComponentContents bare = Kit("bare");
    bare.setupFileVersion.reset();
    (*kits)["bare.exe"] = bare;
    return kits;
  }();
  return *release;
}

class ManifestTest : public ::testing::Test {
 protected:
  void PutRelease(const std::string& folder, const std::map<std::string, ComponentContents>& kits) {
    for (const auto& [path, contents] : kits) Put(folder + "/" + path, BuildComponent(contents));
  }
  void Put(const std::string& relative, const std::string& bytes) {
    fs::create_directories((cwd_ / relative).parent_path());
    WriteFile(cwd_ / relative, bytes);
  }
  ProgramResult Scan(std::vector<std::string> arguments) {
    return RunProgram({PACKPROBE_SCAN_EXE, std::move(arguments), cwd_.path(),
                       {{"TMPDIR", tmp_.path().string()}}});
  }
  // Outcome by path of a JSON Lines report's records.
  static std::map<std::string, std::string> Outcomes(const std::string& jsonl) {
    std::map<std::string, std::string> outcomes;
    std::istringstream lines(jsonl);
    for (std::string line; std::getline(lines, line);) {
      const Json json = Json::parse(line);
      if (json.contains("path")) outcomes[json["path"]] = json["outcome"];
    }
    return outcomes;
  }

  ScratchDir cwd_;
  ScratchDir tmp_;
};

TEST_F(ManifestTest, SnapshotThenEachKindOfChangeInEveryFormat) {
  PutRelease("release", BaseRelease());
  const ProgramResult snapshot = Scan({"snapshot", "release", "-o", "release.manifest.json"});
  ASSERT_EQ(snapshot.exitCode, 0) << snapshot.err;
  EXPECT_EQ(snapshot.out + snapshot.err, "");
  const std::string manifest = ReadFile(cwd_ / "release.manifest.json");
  // One header line, one line per component, one closing line; valid JSON.
  EXPECT_EQ(std::count(manifest.begin(), manifest.end(), '\n'), 6) << manifest;
  const Json parsed = Json::parse(manifest);
  ASSERT_EQ(parsed["components"].size(), 4u);
  EXPECT_EQ(parsed["components"][3]["path"], "sub/beta.exe");
  EXPECT_EQ(parsed["components"][1]["setup"], nullptr);  // bare.exe

  struct Case {
    std::string name;
    std::function<void(std::map<std::string, ComponentContents>&)> change;
    std::vector<std::string> extra;  // more arguments
    std::map<std::string, std::string> outcomes;  // by path; the rest passed
    int exitCode;
    std::string reasonPart;  // in the reason of the first outcome listed
  };
  const Case cases[] = {
      {"unchanged", [](auto&) {}, {}, {}, 0, ""},
      {"older stub", [](auto& k) { k["alpha.exe"].comments = u"VEKStub 3.0.2.0"; }, {},
       {{"release/alpha.exe", "version-changed"}}, 4, "older"},
      {"newer setup", [](auto& k) { k["sub/beta.exe"].setupFileVersion = u"8.0.0.0"; }, {},
       {{"release/sub/beta.exe", "version-changed"}}, 4, "newer"},
      {"setup added", [](auto& k) { k["bare.exe"].setupFileVersion = u"1.0.0.0"; }, {},
       {{"release/bare.exe", "version-changed"}}, 4, "VEKSetup 1.0.0.0 (1000) is newer"},
      {"rebuilt", [](auto& k) { k["alpha.exe"].metadata += "\n"; }, {},
       {{"release/alpha.exe", "content-changed"}}, 4, "other bytes"},
      {"renamed", [](auto& k) { k["fw.exe"].metadata = MetadataXml("Kit fw2", "Firmware - Storage"); },
       {}, {{"release/fw.exe", "metadata-changed"}}, 4, "\"Kit fw2\""},
      {"retyped", [](auto& k) { k["fw.exe"].metadata = MetadataXml("Kit fw", "Software - Tools"); },
       {}, {{"release/fw.exe", "metadata-changed"}}, 4, "firmware"},
      {"added", [](auto& k) { k["sub/gamma.exe"] = Kit("gamma"); }, {},
       {{"release/sub/gamma.exe", "unexpected"}}, 4, "no entry"},
      {"removed", [](auto& k) { k.erase("sub/beta.exe"); }, {},
       {{"release/sub/beta.exe", "absent"}}, 4, "Kit beta"},
      // A failed component (2) outranks a difference (4) ...
      {"broken and removed",
       [](auto& k) {
         k.erase("fw.exe");
         k["alpha.exe"].corruptSetup = true;
       },
       {}, {{"release/alpha.exe", "invalid"}, {"release/fw.exe", "absent"}}, 2, ""},
      // ... which outranks a range given on the command line (1).
      {"range and added", [](auto& k) { k["new.exe"] = Kit("new"); }, {"--setup-max", "7.0.0.0"},
       {{"release/new.exe", "unexpected"},
        {"release/alpha.exe", "setup-out-of-range"},
        {"release/sub/beta.exe", "setup-out-of-range"},
        {"release/fw.exe", "setup-out-of-range"}},
       4, ""},
      {"range alone", [](auto&) {}, {"--setup-max", "7.0.0.0"},
       {{"release/alpha.exe", "setup-out-of-range"},
        {"release/sub/beta.exe", "setup-out-of-range"},
        {"release/fw.exe", "setup-out-of-range"}},
       1, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(cwd_ / "release");
    auto kits = BaseRelease();
    c.change(kits);
    PutRelease("release", kits);
    std::map<std::string, std::string> expected;
    for (const auto& [path, kit] : kits) expected["release/" + path] = "passed";
    for (const auto& [path, outcome] : c.outcomes) expected[path] = outcome;
    std::size_t differing = 0;
    for (const auto& [path, outcome] : expected) {
      differing += outcome != "passed" && outcome != "invalid" && outcome.find("range") == outcome.npos;
    }

    for (const char* format : {"jsonl", "text", "csv", "junit"}) {
      SCOPED_TRACE(format);
      std::vector<std::string> arguments = {"--manifest", "release.manifest.json", "--format", format,
                                            "release"};
      arguments.insert(arguments.end(), c.extra.begin(), c.extra.end());
      const ProgramResult r = Scan(arguments);
      EXPECT_EQ(r.exitCode, c.exitCode) << r.out << r.err;
      EXPECT_EQ(r.err, "");
      const std::string first = c.outcomes.empty() ? "" : c.outcomes.begin()->second;
      if (std::string(format) == "jsonl") {
        EXPECT_EQ(Outcomes(r.out), expected) << r.out;
        EXPECT_NE(r.out.find(c.reasonPart), r.out.npos);
        // Every record of an existing file carries its size and digest.
        std::istringstream lines(r.out);
        for (std::string line; std::getline(lines, line);) {
          const Json record = Json::parse(line);
          if (!record.contains("path") || record["outcome"] == "absent") continue;
          EXPECT_TRUE(record["size"].is_number()) << line;
          EXPECT_EQ(record["sha256"].get<std::string>().size(), 64u) << line;
        }
      } else if (std::string(format) == "text") {
        if (!first.empty()) {
          EXPECT_NE(r.out.find(first), r.out.npos) << r.out;
        }
        EXPECT_NE(r.out.find(c.reasonPart), r.out.npos) << r.out;
        if (differing > 0) {
          EXPECT_NE(r.out.find(std::to_string(differing) + " differing from the manifest"), r.out.npos)
              << r.out;
        }
      } else if (std::string(format) == "csv") {
        if (!first.empty()) {
          EXPECT_NE(r.out.find("," + first + ","), r.out.npos) << r.out;
        }
        EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1 + static_cast<long>(expected.size()));
      } else {
        if (!first.empty() && first != "invalid") {
          EXPECT_NE(r.out.find("type=\"" + first + "\""), r.out.npos) << r.out;
        }
        EXPECT_NE(r.out.find("tests=\"" + std::to_string(expected.size()) + "\""), r.out.npos);
      }
    }
  }
}

TEST_F(ManifestTest, SnapshotWritesNothingForAReleaseItCannotVouchFor) {
  ComponentContents broken = Kit("broken");
  broken.corruptSetup = true;
  PutRelease("bad", {{"good.exe", Kit("good")}, {"broken.exe", broken}});
  fs::create_directories(cwd_ / "empty");
  PutRelease("two/a", {{"x.exe", Kit("x")}});
  PutRelease("two/b", {{"x.exe", Kit("x")}});
  const struct {
    std::vector<std::string> arguments;
    int exitCode;
    std::string message;
  } cases[] = {
      {{"snapshot", "bad", "-o", "out.json"}, 2, "bad/broken.exe: invalid"},
      {{"snapshot", "empty", "-o", "out.json"}, 3, "no component found in empty"},
      {{"snapshot", "two/a", "two/b", "-o", "out.json"}, 64, "share the manifest path \"x.exe\""},
      {{"snapshot", "bad", "-o", "bad/good.exe"}, 64, "is one of the components"},
      {{"snapshot"}, 64, "PATH"},
      {{"snapshot", "two/a", "-o", "nodir/out.json"}, 74, "cannot write \"nodir/out.json\""},
      {{"--manifest", "nothere.json", "two/a"}, 65, "cannot be read"},
      {{"--manifest", "bad/good.exe", "two/a"}, 65, "is malformed: not JSON"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.arguments));
    const ProgramResult r = Scan(c.arguments);
    EXPECT_EQ(r.exitCode, c.exitCode) << r.err;
    EXPECT_NE(r.err.find(c.message), r.err.npos) << r.err;
    EXPECT_FALSE(fs::exists(cwd_ / "out.json"));
    EXPECT_EQ(ListTree(cwd_.path()).size(), 9u) << testing::PrintToString(ListTree(cwd_.path()));
  }
  // A report never replaces the manifest it was checked against.
  ASSERT_EQ(Scan({"snapshot", "two/a", "-o", "a.json"}).exitCode, 0);
  const std::string before = ReadFile(cwd_ / "a.json");
  const ProgramResult over = Scan({"--manifest", "a.json", "-o", "a.json", "two/a"});
  EXPECT_EQ(over.exitCode, 64);
  EXPECT_NE(over.err.find("it is the --manifest file"), over.err.npos) << over.err;
  EXPECT_EQ(ReadFile(cwd_ / "a.json"), before);
  // A manifest whose fields are wrong is named with the component at fault.
  WriteFile(cwd_ / "m.json",
            "{\"schema\":\"packprobe-manifest/1\",\"components\":[{\"path\":\"x.exe\",\"name\":1}]}");
  const ProgramResult r = Scan({"--manifest", "m.json", "two/a"});
  EXPECT_EQ(r.exitCode, 65);
  EXPECT_NE(r.err.find("component 1: \"name\" is not a string"), r.err.npos) << r.err;
}

// The manifest in tests/testdata was made by snapshot on Linux of the
// release BaseRelease builds; it must check that release as unchanged on
// every system, and snapshot must still make it byte for byte (apart from
// the program's version in the header).
TEST_F(ManifestTest, AManifestFromLinuxChecksTheSameReleaseEverywhere) {
  PutRelease("release", BaseRelease());
  const fs::path fixture = fs::path(PACKPROBE_TESTS_DIR) / "testdata" / "release.manifest.json";
  const std::string made = ReadFile(fixture);
  ASSERT_FALSE(made.empty());
  const ProgramResult check = Scan({"--manifest", fixture.string(), "--format", "jsonl", "release"});
  EXPECT_EQ(check.exitCode, 0) << check.out << check.err;
  for (const auto& [path, outcome] : Outcomes(check.out)) EXPECT_EQ(outcome, "passed") << path;
  EXPECT_EQ(Outcomes(check.out).size(), 4u);
  const ProgramResult snapshot = Scan({"snapshot", "release"});
  ASSERT_EQ(snapshot.exitCode, 0) << snapshot.err;
  EXPECT_EQ(snapshot.out.substr(snapshot.out.find('\n')), made.substr(made.find('\n')));
  // A manifest made before signers were recorded pins none, and still checks.
  std::string unsigned_ = made;
  for (const std::string key : {",\"signer\":null", ",\"setup_signer\":null"}) {
    for (std::size_t at; (at = unsigned_.find(key)) != std::string::npos;) unsigned_.erase(at, key.size());
  }
  ASSERT_NE(unsigned_, made);
  WriteFile(cwd_ / "old.json", unsigned_);
  EXPECT_EQ(Scan({"--manifest", "old.json", "release"}).exitCode, 0);
}

TEST_F(ManifestTest, DiffNamesTheSameChangesWhateverTheInputs) {
  auto old = BaseRelease();
  old["moving.exe"] = Kit("moving");
  old["gone.exe"] = Kit("gone");
  old["warned.exe"] = Kit("warned");
  old["warned.exe"].setupFileVersion = u"7.9.1";  // setup-version-text
  PutRelease("old", old);
  auto now = old;
  now.erase("gone.exe");
  now.erase("moving.exe");
  now["moved/moving.exe"] = old["moving.exe"];
  now["fresh.exe"] = Kit("fresh");
  now["alpha.exe"].comments = u"VEKStub 3.0.4.0";
  now["sub/beta.exe"].setupFileVersion = u"7.0.0.0";
  now["fw.exe"].metadata += "\n";
  PutRelease("new", now);
  const std::set<std::pair<std::string, std::string>> expected = {
      {"upgraded", "alpha.exe"},       {"downgraded", "sub/beta.exe"}, {"content-changed", "fw.exe"},
      {"added", "fresh.exe"},          {"removed", "gone.exe"},        {"renamed", "moved/moving.exe"}};

  std::map<std::string, std::pair<std::string, std::string>> inputs;  // kind -> old, new
  inputs["folder"] = {"old", "new"};
  for (const char* side : {"old", "new"}) {
    ASSERT_EQ(Scan({"snapshot", side, "-o", std::string(side) + ".manifest.json"}).exitCode, 0);
    // The report is the reports of two shards, one after the other.
    std::string shards;
    for (const char* shard : {"0/2", "1/2"}) {
      const ProgramResult r = Scan({"--hash", "--format", "jsonl", "--shard", shard, side});
      ASSERT_EQ(r.exitCode, 0) << r.err;
      shards += r.out;
    }
    WriteFile(cwd_ / (std::string(side) + ".jsonl"), shards);
  }
  inputs["manifest"] = {"old.manifest.json", "new.manifest.json"};
  // A report is what its checks found, whatever policy judged it: compared
  // with its own folder, nothing changed.
  for (const std::vector<std::string>& policy : {std::vector<std::string>{"--strict"},
                                                 {"--error-on", "setup-version-text"},
                                                 {"--ignore", "setup-version-text"}}) {
    std::vector<std::string> arguments = {"--hash", "--format", "jsonl", "-o", "judged.jsonl", "old"};
    arguments.insert(arguments.end(), policy.begin(), policy.end());
    ASSERT_LE(Scan(arguments).exitCode, 2);
    const ProgramResult same = Scan({"diff", "judged.jsonl", "old"});
    EXPECT_EQ(same.exitCode, 0) << policy.front() << "\n" << same.out << same.err;
  }
  inputs["report"] = {"old.jsonl", "new.jsonl"};

  for (const auto& [oldKind, oldPaths] : inputs) {
    for (const auto& [newKind, newPaths] : inputs) {
      SCOPED_TRACE(oldKind + " -> " + newKind);
      const ProgramResult r = Scan({"diff", oldPaths.first, newPaths.second, "--format", "jsonl"});
      EXPECT_EQ(r.exitCode, 1) << r.err;
      std::set<std::pair<std::string, std::string>> changes;
      std::istringstream lines(r.out);
      std::string last;
      for (std::string line; std::getline(lines, line); last = line) {
        const Json json = Json::parse(line);
        if (json.contains("change")) changes.emplace(json["change"], json["path"]);
      }
      EXPECT_EQ(changes, expected) << r.out;
      EXPECT_EQ(Json::parse(last)["total"], 6);
      // Nothing changed between a release and itself, however given.
      const ProgramResult same = Scan({"diff", oldPaths.first, newKind == "folder" ? "old"
                                                          : newKind == "report" ? "old.jsonl"
                                                                                : "old.manifest.json"});
      EXPECT_EQ(same.exitCode, 0) << same.out << same.err;
      EXPECT_EQ(same.out, "no changes\n");
    }
  }
  for (const char* format : {"text", "markdown"}) {
    SCOPED_TRACE(format);
    const ProgramResult r = Scan({"diff", "old", "new.manifest.json", "--format", format});
    EXPECT_EQ(r.exitCode, 1) << r.err;
    for (const auto& [change, path] : expected) {
      EXPECT_NE(r.out.find(change), r.out.npos) << r.out;
      EXPECT_NE(r.out.find(path), r.out.npos) << path << "\n" << r.out;
    }
    EXPECT_NE(r.out.find("6 changes: 1 added, 1 removed, 1 upgraded, 1 downgraded, "
                         "1 content-changed, 1 renamed"),
              r.out.npos)
        << r.out;
  }
}

TEST_F(ManifestTest, DiffRefusesWhatItCannotRead) {
  PutRelease("rel", {{"a.exe", Kit("a")}, {"b.exe", Kit("b")}, {"c.exe", Kit("c")}});
  Put("notes.txt", "hello\n");
  const ProgramResult whole = Scan({"--hash", "--format", "jsonl", "rel"});
  ASSERT_EQ(whole.exitCode, 0) << whole.err;
  const std::string cut = whole.out.substr(0, whole.out.rfind('\n', whole.out.size() - 2) + 1);
  Put("cut.jsonl", cut);
  Put("twice.jsonl", cut + whole.out);
  // A share of a sharded run alone is no release.
  const ProgramResult share = Scan({"--hash", "--format", "jsonl", "--shard", "0/2", "rel"});
  Put("share.jsonl", share.out);
  const struct {
    std::vector<std::string> arguments;
    int exitCode;
    std::string message;
  } cases[] = {
      {{"diff", "rel"}, 64, "NEW"},
      {{"diff", "rel", "rel", "--format", "html"}, 64, "html"},
      {{"diff", "rel", "nothere"}, 65, "\"nothere\" cannot be read"},
      {{"diff", "notes.txt", "rel"}, 65, "neither a JSON Lines report nor a release manifest"},
      {{"diff", "rel", "cut.jsonl"}, 65, "it is cut"},
      {{"diff", "twice.jsonl", "rel"}, 65, "twice.jsonl:5: neither a record"},
      {{"diff", "share.jsonl", "rel"}, 65, "share 1 of 2 is missing"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.arguments));
    const ProgramResult r = Scan(c.arguments);
    EXPECT_EQ(r.exitCode, c.exitCode);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find(c.message), r.err.npos) << r.err;
  }
}

}  // namespace
}  // namespace packprobe::testsupport
