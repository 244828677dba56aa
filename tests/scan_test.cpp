// End-to-end tests of packprobe-scan: agreement with packprobe on every
// kind of component, stable shares, order under parallel checks, warnings.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/component_builder.h"
#include "tests/support/pe_builder.h"
#include "tests/support/program_runner.h"
#include "tests/support/scratch_dir.h"
#include "tests/support/zip_writer.h"

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

class ScanTest : public ::testing::Test {
 protected:
  void Put(const std::string& relative, const std::string& bytes) {
    fs::create_directories((cwd_ / relative).parent_path());
    WriteFile(cwd_ / relative, bytes);
  }
  void PutKit(const std::string& folder, const std::string& stem, const ComponentContents& contents) {
    Put(folder + "/" + stem + ".exe", BuildComponent(contents));
  }

  // Builds one component of every kind that the check tells apart under
  // release/, and returns their stems.
  void BuildRelease() {
    PutKit("release", "good-sw", Kit("good-sw"));
    PutKit("release", "good-fw", Kit("good-fw", "Firmware - Storage"));
    ComponentContents c = Kit("no-setup");
    c.setupFileVersion.reset();
    PutKit("release", "no-setup", c);
    c = Kit("old-stub");
    c.comments = u"VEKStub 2.0.0.0";
    PutKit("release/sub", "old-stub", c);
    c = Kit("new-setup", "BIOS - Board");
    c.setupFileVersion = u"9.0.0.0";
    PutKit("release/sub", "new-setup", c);
    c = Kit("two-digit");
    c.comments = u"VEKStub 3.0.10.0";
    PutKit("release", "two-digit", c);
    c = Kit("damaged-setup");
    c.corruptSetup = true;
    PutKit("release", "damaged-setup", c);
    c = Kit("bad-metadata");
    c.metadata = "<vek_package><name>";
    PutKit("release", "bad-metadata", c);
    c = Kit("stub-beta");
    c.comments = u"VEKStub 3.0.3.0 beta";
    PutKit("release", "stub-beta", c);
    c = Kit("renamed");
    c.metadataName = "original.xml";
    PutKit("release", "renamed", c);
    // A setup program without a FileVersion string.
    ZipWriterEntry metadata;
    metadata.name = "no-fileversion.xml";
    metadata.data = MetadataXml("Kit no-fileversion", "Software - Tools");
    ZipWriterEntry setup;
    setup.name = "veksetup.exe";
    setup.data = BuildVersionedProgram({{u"ProductName", u"Setup"}});
    Put("release/no-fileversion.exe",
        BuildArchive({metadata, setup}, BuildVersionedProgram({{u"Comments", u"VEKStub 3.0.3.0"}})));
    Put("release/plain.EXE", std::string(3000, 'x'));
    Put("release/readme.txt", "not a component");
  }

  ProgramResult Scan(std::vector<std::string> arguments) {
    return RunProgram({PACKPROBE_SCAN_EXE, std::move(arguments), cwd_.path(),
                       {{"TMPDIR", tmp_.path().string()}}});
  }

  // The component records of a JSON Lines report (header and closing
  // records skipped).
  static std::vector<Json> Records(const std::string& jsonl) {
    std::vector<Json> records;
    std::istringstream lines(jsonl);
    for (std::string line; std::getline(lines, line);) {
      Json json = Json::parse(line);
      if (json.contains("path")) records.push_back(std::move(json));
    }
    return records;
  }

  static std::vector<std::string> Paths(const std::vector<Json>& records) {
    std::vector<std::string> paths;
    for (const Json& record : records) paths.push_back(record["path"]);
    return paths;
  }

  ScratchDir cwd_;
  ScratchDir tmp_;
};

// What packprobe printed about a component, from its information block.
struct Report {
  std::map<std::string, std::string> fields;  // "Component name" -> "Kit x", ...
};

Report ParseReport(const std::string& out) {
  Report report;
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) {
    const std::size_t colon = line.find(": ");
    if (line.rfind("Component ", 0) == 0 || line.rfind("VEKS", 0) == 0) {
      if (colon != line.npos) report.fields[line.substr(0, colon)] = line.substr(colon + 2);
      else if (line.back() == ':') report.fields[line.substr(0, line.size() - 1)] = "";
    }
  }
  return report;
}

TEST_F(ScanTest, AgreesWithPackprobeOnEveryComponentAndExitCode) {
  BuildRelease();
  struct Options {
    std::vector<std::string> scan;
    std::vector<std::string> packprobe;
  } optionSets[] = {
      {{}, {}},
      {{"--stub-min", "3.0.0.0", "--stub-max", "3.0.3.0", "--setup-min", "7.0.0.0", "--setup-max",
        "7.9.1.0"},
       {"/stubmin:3.0.0.0", "/stubmax:3.0.3.0", "/setupmin:7.0.0.0", "/setupmax:7.9.1.0"}},
      {{"--firmware-only", "--stub-min", "3.0.0.0"}, {"/fwonly", "/stubmin:3.0.0.0"}},
      {{"--software-only", "--setup-max", "0.0.0.1"}, {"/swonly", "/setupmax:1"}},
      {{"--stub-min", "4.0.0.0", "--setup-min", "8.0.0.0"}, {"/stubmin:4.0.0.0", "/setupmin:8.0.0.0"}},
      {{"--setup-min", "0.0.0.1"}, {"/setupmin:1"}},
  };
  std::set<int> exitCodes;
  std::set<std::string> outcomes;
  for (const Options& options : optionSets) {
    std::vector<std::string> arguments = options.scan;
    for (const char* extra : {"--format", "jsonl", "-j", "3", "release", "nothere.exe"}) {
      arguments.push_back(extra);
    }
    const ProgramResult scan = Scan(arguments);
    const std::vector<Json> records = Records(scan.out);
    ASSERT_EQ(records.size(), 13u) << scan.out << scan.err;
    int worst = 0;
    for (const Json& record : records) {
      const std::string path = record["path"];
      SCOPED_TRACE(path + " " + testing::PrintToString(options.scan));
      std::vector<std::string> packprobeArguments = {"/nologo", path};
      packprobeArguments.insert(packprobeArguments.end(), options.packprobe.begin(),
                                options.packprobe.end());
      const ProgramResult single = RunProgram(
          {PACKPROBE_EXE, packprobeArguments, cwd_.path(), {{"TMPDIR", tmp_.path().string()}}});
      const Report report = ParseReport(single.out);
      EXPECT_EQ(record["exit_code"], single.exitCode);
      EXPECT_EQ(record["name"], report.fields.at("Component name"));
      EXPECT_EQ(record["file"], report.fields.at("Component file"));
      EXPECT_EQ(record["stub"]["display"], report.fields.at("VEKStub Version"));
      const std::string setup = report.fields.at("VEKSetup Version");
      if (setup == "Component does not contain VEKSetup") {
        EXPECT_TRUE(record["setup"]["display"].is_null());
        EXPECT_EQ(record["setup"]["present"], false);
      } else {
        EXPECT_EQ(record["setup"]["display"], setup);
      }
      const auto type = report.fields.find("Component Type");
      EXPECT_EQ(record["type"], type == report.fields.end() ? Json(nullptr)
                                : type->second == "Firmware" ? Json("firmware")
                                                             : Json("software"));
      const std::string outcome = record["outcome"];
      const bool failed = outcome == "missing" || outcome == "invalid" || outcome == "system-error";
      EXPECT_EQ(failed, record["reason"].is_object());
      worst = std::max(worst, failed ? 2 : outcome.find("out-of-range") != outcome.npos ? 1 : 0);
      exitCodes.insert(single.exitCode);
      outcomes.insert(outcome);
    }
    EXPECT_EQ(scan.exitCode, worst);
  }
  EXPECT_EQ(exitCodes, (std::set<int>{0, 1, 2, 3, 4, 5, 6, 7, 8}));
  // Every outcome but system-error, which takes a fault of the host.
  EXPECT_EQ(outcomes.size(), 7u) << testing::PrintToString(outcomes);
}

TEST_F(ScanTest, RecordsCarryRawVersionsAndWarnings) {
  BuildRelease();
  Put("copy/good-sw.exe", BuildComponent(Kit("good-sw")));
  const ProgramResult r = Scan({"--format", "jsonl", "release", "copy"});
  std::map<std::string, Json> byPath;
  for (Json& record : Records(r.out)) byPath[record["path"]] = record;
  auto codes = [&](const std::string& path) {
    std::vector<std::string> list;
    for (const Json& warning : byPath.at(path)["warnings"]) list.push_back(warning["code"]);
    return list;
  };
  const Json& twoDigit = byPath.at("release/two-digit.exe");
  EXPECT_EQ(twoDigit["stub"]["text"], "VEKStub 3.0.10.0");
  EXPECT_EQ(twoDigit["stub"]["version"], 100);
  EXPECT_EQ(twoDigit["stub"]["display"], "1.0.0.");
  EXPECT_EQ(codes("release/two-digit.exe"),
            (std::vector<std::string>{"stub-version-text", "stub-comments-tail"}));
  EXPECT_EQ(codes("release/stub-beta.exe"), std::vector<std::string>{"stub-comments-tail"});
  EXPECT_EQ(codes("release/no-fileversion.exe"),
            std::vector<std::string>{"setup-no-file-version"});
  EXPECT_EQ(byPath.at("release/good-sw.exe")["category"], "Software - Tools");
  // The later path in sorted order is the duplicate.
  EXPECT_EQ(codes("copy/good-sw.exe"), std::vector<std::string>{});
  EXPECT_EQ(codes("release/good-sw.exe"), std::vector<std::string>{"duplicate-component"});
  EXPECT_EQ(byPath.at("release/good-sw.exe")["outcome"], "passed");
  // Warnings alone change nothing; under --strict they fail the component.
  EXPECT_EQ(byPath.at("release/no-fileversion.exe")["outcome"], "passed");
  const ProgramResult strict = Scan({"--format", "jsonl", "--strict", "release/no-fileversion.exe"});
  const std::vector<Json> records = Records(strict.out);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0]["outcome"], "invalid");
  EXPECT_EQ(records[0]["reason"]["code"], "strict-warning");
  EXPECT_EQ(records[0]["exit_code"], 0);  // still what packprobe returns
  EXPECT_EQ(strict.exitCode, 2);
  EXPECT_EQ(Scan({"release/no-fileversion.exe"}).exitCode, 0);
}

TEST_F(ScanTest, EveryFailureHasItsOwnStableReason) {
  const std::string stub = BuildVersionedProgram({{u"Comments", u"VEKStub 3.0.3.0"}});
  auto archive = [&](const std::string& stem, std::function<void(ZipWriterEntry&)> editMetadata,
                     const ZipArchiveOptions& options = {}, const std::string& prefix = "") {
    ZipWriterEntry metadata;
    metadata.name = stem + ".xml";
    metadata.data = MetadataXml("Kit", "Software - Tools");
    if (editMetadata) editMetadata(metadata);
    return BuildArchive({metadata}, prefix.empty() ? stub : prefix, options);
  };
  auto withStub = [&](const std::string& stem, const std::string& program) {
    return archive(stem, nullptr, {}, program);
  };
  ZipArchiveOptions unadjusted;
  unadjusted.offsetsCountPrefix = false;
  ZipArchiveOptions twoDisks;
  twoDisks.thisDisk = 1;
  twoDisks.centralDirDisk = 1;
  ComponentContents badSetup = Kit("bad-setup");
  badSetup.corruptSetup = true;

  // Case name (the component's stem), its bytes, and the reason it gives.
  const struct Case {
    std::string stem;
    std::string bytes;
    std::string code;
    std::string step;
  } cases[] = {
      {"not-an-archive", stub + std::string(2000, 'z'), "zip-end-record-missing", "open-archive"},
      {"unadjusted", archive("unadjusted", nullptr, unadjusted), "zip-central-header-signature",
       "open-archive"},
      {"two-disks", archive("two-disks", nullptr, twoDisks), "zip-multi-disk", "open-archive"},
      {"method", archive("method", [](ZipWriterEntry& e) {
         e.editBoth = [](ZipHeaderFields& f) { f.method = 12; };
       }), "zip-unsupported-method", "extract-metadata"},
      {"local-name", archive("local-name", [](ZipWriterEntry& e) { e.localName = "other.xml"; }),
       "zip-local-header-mismatch", "open-archive"},
      {"garbage", archive("garbage", [](ZipWriterEntry& e) {
         e.rawData = std::string(64, '\xFF');
       }), "zip-deflate-corrupt", "extract-metadata"},
      {"crc", archive("crc", [](ZipWriterEntry& e) {
         e.editBoth = [](ZipHeaderFields& f) { f.crc ^= 1; };
       }), "zip-crc-mismatch", "extract-metadata"},
      {"truncated", archive("truncated", [](ZipWriterEntry& e) {
         e.rawData = RawDeflate(e.data).substr(0, 20);
       }), "zip-data-ends-early", "extract-metadata"},
      {"bad-setup", BuildComponent(badSetup), "zip-crc-mismatch", "extract-setup"},
      {"renamed", archive("other-name", nullptr), "metadata-missing", "extract-metadata"},
      {"syntax", archive("syntax", [](ZipWriterEntry& e) { e.data = "<vek_package><name>"; }),
       "metadata-load-syntax", "load-metadata"},
      {"no-package", archive("no-package", [](ZipWriterEntry& e) { e.data = "<other/>"; }),
       "metadata-no-package", "load-metadata"},
      {"huge-metadata", archive("huge-metadata", [](ZipWriterEntry& e) {
         e.editBoth = [](ZipHeaderFields& f) { f.uncompressedSize = 64u << 20; };
       }), "metadata-too-large", "load-metadata"},
      {"no-resource", withStub("no-resource", BuildProgram({}).bytes), "stub-no-version-resource",
       "read-stub-version"},
      {"not-a-program", withStub("not-a-program", "MZ" + std::string(500, '\x01')),
       "stub-malformed", "read-stub-version"},
      {"no-comments", withStub("no-comments", BuildVersionedProgram({{u"FileVersion", u"3.0.3.0"}})),
       "stub-no-comments", "read-stub-version"},
      {"version-zero", withStub("version-zero", BuildVersionedProgram({{u"Comments", u"0.0.0.0"}})),
       "stub-version-zero", "read-stub-version"},
  };
  std::map<std::string, std::string> expected;
  for (const Case& c : cases) {
    Put("bad/" + c.stem + ".exe", c.bytes);
    expected["bad/" + c.stem + ".exe"] = c.code + " " + c.step;
  }
  expected["bad/nothere.exe"] = "component-missing existence";
  const ProgramResult r = Scan({"--format", "jsonl", "bad", "bad/nothere.exe"});
  std::map<std::string, std::string> actual;
  std::set<std::string> codes;
  for (const Json& record : Records(r.out)) {
    const Json& reason = record["reason"];
    ASSERT_TRUE(reason.is_object()) << record.dump();
    actual[record["path"]] = reason["code"].get<std::string>() + " " + reason["step"].get<std::string>();
    EXPECT_FALSE(reason["detail"].get<std::string>().empty());
    if (reason["code"].get<std::string>().rfind("zip-", 0) == 0) {
      EXPECT_NE(reason["layer_result"], 0) << record.dump();
    }
  }
  EXPECT_EQ(actual, expected);
  EXPECT_EQ(r.exitCode, 2);
  // The detail says what a person can do about it.
  EXPECT_NE(r.out.find("appended without adjusting its offsets"), std::string::npos);

  // A fault of the machine is a system error whatever the component. Only
  // a setup program beyond the capture bound needs the work directory.
  PutKit("good", "good-sw", Kit("good-sw"));
  ComponentContents large = Kit("large");
  large.setupResourceSectionSize = (std::size_t{64} << 20) + 4096;
  PutKit("good", "large", large);
  const std::vector<Json> host = Records(
      RunProgram({PACKPROBE_SCAN_EXE, {"--format", "jsonl", "good"}, cwd_.path(),
                  {{"TMPDIR", (tmp_ / "missing").string()}}}).out);
  ASSERT_EQ(host.size(), 2u);
  EXPECT_EQ(host[0]["outcome"], "passed");
  EXPECT_EQ(host[1]["outcome"], "system-error");
  EXPECT_EQ(host[1]["reason"]["step"], "work-directory");
  EXPECT_EQ(host[1]["reason"]["code"].get<std::string>().rfind("host-", 0), 0u);
}

TEST_F(ScanTest, ShardsAreDisjointStableAndCoverTheWhole) {
  for (int i = 0; i < 40; ++i) {
    Put("drop/" + std::string(i % 3 == 0 ? "a/" : i % 3 == 1 ? "b/c/" : "") + "k" +
            std::to_string(i) + ".exe",
        "x");
  }
  const std::vector<std::string> whole = Paths(Records(Scan({"--format", "jsonl", "drop"}).out));
  ASSERT_EQ(whole.size(), 40u);

  // The same folder under another name and path splits the same way.
  ScratchDir other;
  fs::copy(cwd_ / "drop", other / "moved", fs::copy_options::recursive);
  std::set<std::string> seen;
  for (int k = 0; k < 4; ++k) {
    const std::string shard = std::to_string(k) + "/4";
    const std::vector<std::string> share =
        Paths(Records(Scan({"--format", "jsonl", "--shard", shard, "drop"}).out));
    EXPECT_TRUE(std::is_sorted(share.begin(), share.end()));
    EXPECT_LT(share.size(), whole.size()) << shard;
    for (const std::string& path : share) EXPECT_TRUE(seen.insert(path).second) << path;

    std::vector<std::string> moved = Paths(Records(
        Scan({"--format", "jsonl", "--shard", shard, (other / "moved").string()}).out));
    for (std::string& path : moved) path = "drop" + path.substr((other / "moved").string().size());
    EXPECT_EQ(moved, share) << shard;
  }
  EXPECT_EQ(std::vector<std::string>(seen.begin(), seen.end()), whole);
}

TEST_F(ScanTest, RecordsComeInSortedOrderWhateverTheJobs) {
  BuildRelease();
  for (int i = 0; i < 24; ++i) {
    const std::string stem = std::string("m") + std::to_string(i);
    PutKit("more", stem, Kit(stem));
  }
  auto run = [&](const char* jobs) {
    std::vector<Json> records = Records(Scan({"--format", "jsonl", "-j", jobs, "more", "release"}).out);
    for (Json& record : records) record.erase("elapsed_ms");
    return records;
  };
  const std::vector<Json> one = run("1");
  ASSERT_EQ(one.size(), 36u);
  const std::vector<std::string> paths = Paths(one);
  EXPECT_TRUE(std::is_sorted(paths.begin(), paths.end()));
  EXPECT_EQ(run("8"), one);

  // The text report: failures first, with their reasons, then the rest and
  // the summary.
  const ProgramResult text = Scan({"-j", "4", "more", "release"});
  std::istringstream lines(text.out);
  std::vector<std::string> all;
  for (std::string line; std::getline(lines, line);) all.push_back(line);
  ASSERT_GT(all.size(), 3u);
  EXPECT_EQ(all.back().rfind("36 components: 31 passed, 5 invalid, 4 warnings, in ", 0), 0u)
      << all.back();
  EXPECT_EQ(all[1].rfind("invalid ", 0), 0u) << all[1];
  EXPECT_EQ(all[2].rfind("    reason: ", 0), 0u) << all[2];
  EXPECT_EQ(text.exitCode, 2);
}

TEST_F(ScanTest, UsageErrorsExitWith64) {
  PutKit("release", "good-sw", Kit("good-sw"));
  for (const std::vector<std::string>& arguments : std::vector<std::vector<std::string>>{
           {},
           {"--stub-min", "12345678", "release"},
           {"--setup-max", "-1", "release"},
           {"--firmware-only", "--software-only", "release"},
           {"--format", "xml", "release"},
           {"--shard", "4/4", "release"},
           {"--shard", "1", "release"},
           {"-j", "0", "release"},
           {"--files-from", "no-such-list", "release"},
           {"--no-such-option", "release"}}) {
    const ProgramResult r = Scan(arguments);
    EXPECT_EQ(r.exitCode, 64) << testing::PrintToString(arguments);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err, "");
  }
  const ProgramResult help = Scan({"--help"});
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_NE(help.out.find("64  usage error"), std::string::npos);
  EXPECT_EQ(Scan({"--version"}).out, "packprobe-scan " PACKPROBE_VERSION "\n");
}

}  // namespace
}  // namespace packprobe::testsupport
