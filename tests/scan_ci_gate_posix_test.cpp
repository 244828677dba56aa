// End-to-end tests of packprobe-scan as a CI gate: shards merged into the
// unsharded run, GitHub annotations and the Markdown summary read back as
// GitHub and a Markdown renderer read them, the configuration file combined
// with the command line, and more reports from one run.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <nlohmann/json.hpp>

#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "tests/support/component_builder.h"
#include "tests/support/program_runner.h"
#include "tests/support/scratch_dir.h"

namespace packprobe::testsupport {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::ordered_json;

// Names that break naive writers of each format: workflow-command
// delimiters and escapes, Markdown and HTML markup, line breaks, tabs.
const char* const kHostileNames[] = {
    "per%cent%0A.exe", "co:lon,comma.exe", "new\nline.exe", "cr\rhere.exe", "tab\there.exe",
    "pipe|star*_[x](y).exe", "<b>bold<&#47;b>&amp;.exe", "::error::forged.exe", "back\\slash`tick.exe",
};

ComponentContents Kit(const std::string& name, const std::string& category = "Software - Tools") {
  ComponentContents contents;
  contents.metadata = MetadataXml(name, category);
  return contents;
}

class ScanCiGateTest : public ::testing::Test {
 protected:
  void Put(const std::string& relative, ComponentContents contents) {
    const fs::path path = cwd_ / relative;
    fs::create_directories(path.parent_path());
    // The component's own name ends at its last "/" or "\\" as the
    // inspection reads it.
    const std::string stem = path.stem().string();
    contents.metadataName = stem.substr(stem.find_last_of('\\') + 1) + ".xml";
    WriteFile(path, BuildComponent(contents));
  }

  // A release with every outcome (system-error under the file-size limit of
  // LimitFileSize), warnings, four copies of one component in different folders
  // (duplicates that land in different shares) and hostile names.
  void BuildRelease() {
    Put("rel/good.exe", Kit("Good"));
    Put("rel/fw/disk.exe", Kit("Disk firmware", "Firmware - Disk"));  // filtered by --software-only
    ComponentContents c = Kit("Old stub");
    c.comments = u"VEKStub 2.0.0.0";
    Put("rel/old-stub.exe", c);
    c = Kit("New setup");
    c.setupFileVersion = u"9.0.0.0";
    Put("rel/new-setup.exe", c);
    c = Kit("Both");
    c.comments = u"VEKStub 2.0.0.0";
    c.setupFileVersion = u"9.0.0.0";
    Put("rel/both.exe", c);
    c = Kit("Broken");
    c.metadata = "<vek_package><name>";
    Put("rel/broken.exe", c);
    c = Kit("Short setup");
    c.setupFileVersion = u"7.9.1";  // a warning: setup-version-text
    Put("rel/short-setup.exe", c);
    c = Kit("Setup text");
    c.setupFileVersion = u"7.10.0.0";  // a warning, and out of range under --setup-max
    Put("rel/setup-text.exe", c);
    for (const char* copy : {"rel/dup/a.exe", "rel/dup/b/a.exe", "rel/x/copy.exe", "rel/z.exe"}) {
      Put(copy, Kit("Twin"));
    }
    for (const char* name : kHostileNames) Put(std::string("rel/hostile/") + name, Kit("Hostile"));
    WriteFile(cwd_ / "rel" / "hostile" / "zz\xff.exe", "not a component");
    // A setup program beyond the capture bound: the one a check writes.
    c = Kit("Big");
    c.setupResourceSectionSize = (std::size_t{64} << 20) + 4096;
    Put("rel/big.exe", c);
  }

  // Runs every program with a file-size limit that the big setup program
  // breaks when it is extracted (a fault of the host: system-error), while
  // reports stay far below it.
  void LimitFileSize() {
    childSetup_ = [] {
      rlimit limit{};
      getrlimit(RLIMIT_FSIZE, &limit);
      limit.rlim_cur = 256 << 10;
      setrlimit(RLIMIT_FSIZE, &limit);
    };
  }

  ProgramResult Scan(std::vector<std::string> arguments, std::map<std::string, std::string> environment = {}) {
    environment.emplace("TMPDIR", tmp_.path().string());
    environment.emplace("GITHUB_STEP_SUMMARY", "");
    return RunProgram({PACKPROBE_SCAN_EXE, std::move(arguments), cwd_.path(), std::move(environment)},
                      childSetup_);
  }

  ProgramResult Shell(const std::string& command) {
    return RunProgram({"/bin/sh", {"-c", command}, cwd_.path(), {}});
  }

  // The lines of a JSON Lines report without the times, which differ from
  // run to run.
  static std::vector<Json> Lines(const std::string& jsonl) {
    std::vector<Json> lines;
    std::istringstream in(jsonl);
    for (std::string line; std::getline(in, line);) {
      Json json = Json::parse(line);
      json.erase("elapsed_ms");
      lines.push_back(std::move(json));
    }
    return lines;
  }

  static std::string WithoutTime(std::string text) {
    const std::size_t in = text.rfind(", in ");
    return in == text.npos ? text : text.substr(0, in);
  }

  ScratchDir cwd_;
  ScratchDir tmp_;
  std::function<void()> childSetup_;
};

const std::vector<std::string> kRanges = {"--stub-min", "3.0.0.0", "--setup-max", "8.0.0.0",
                                          "--software-only", "-j", "2"};

TEST_F(ScanCiGateTest, MergeOfEveryShardCountEqualsTheUnshardedRun) {
  BuildRelease();
  // The manifest of the release as it was, before one kit went and one came.
  ASSERT_EQ(Scan({"snapshot", "--exclude", "broken.exe", "--exclude", "zz*", "--exclude", "big.exe", "rel",
                  "-o", "release.manifest.json"})
                .exitCode,
            0);
  Put("rel/fresh.exe", Kit("Fresh"));
  fs::remove(cwd_ / "rel" / "good.exe");
  LimitFileSize();
  for (const auto& [strict, manifest] : {std::pair{false, false}, std::pair{true, false}, std::pair{false, true}}) {
    std::vector<std::string> options = kRanges;
    if (strict) options.push_back("--strict");
    // A broken component outranks the differences from the manifest: the
    // merge exits 2 as the run does, never 4, and places the absent entry
    // last as the run does.
    if (manifest) options.insert(options.end(), {"--manifest", "release.manifest.json"});
    options.insert(options.end(), {"rel", "gone.exe"});  // gone.exe: missing
    const auto run = [&](std::vector<std::string> extra) {
      std::vector<std::string> arguments = extra;
      arguments.insert(arguments.end(), options.begin(), options.end());
      return Scan(arguments);
    };
    const ProgramResult whole = run({"--format", "jsonl"});
    ASSERT_EQ(whole.exitCode, 2) << whole.err;
    const std::vector<Json> expected = Lines(whole.out);
    std::set<std::string> outcomes;
    std::size_t duplicates = 0;
    for (const Json& line : expected) {
      if (!line.contains("path")) continue;
      outcomes.insert(line["outcome"].get<std::string>());
      {
        for (const Json& w : line["warnings"]) duplicates += w["code"] == "duplicate-component";
      }
    }
    ASSERT_EQ(outcomes.size(), manifest ? 10u : 8u) << whole.out;
    if (manifest) {
      EXPECT_EQ(expected[expected.size() - 2]["outcome"], "absent");
      EXPECT_EQ(expected.front()["options"]["manifest"], "release.manifest.json");
    }
    ASSERT_EQ(duplicates, 3u + std::size(kHostileNames) - 1);
    const ProgramResult text = run({"--format", "text"});

    for (int n = 1; n <= 8; ++n) {
      SCOPED_TRACE("strict " + std::to_string(strict) + ", manifest " + std::to_string(manifest) + ", " +
                   std::to_string(n) + " shares");
      std::vector<std::string> merge = {"merge", "--format", "jsonl"};
      for (int k = 0; k < n; ++k) {
        const std::string share = "share-" + std::to_string(k) + ".jsonl";
        const ProgramResult r =
            run({"--shard", std::to_string(k) + "/" + std::to_string(n), "--format", "jsonl", "-o", share});
        ASSERT_LE(r.exitCode, 3) << r.err;
        merge.push_back(share);
      }
      const ProgramResult merged = Scan(merge);
      EXPECT_EQ(merged.exitCode, whole.exitCode) << merged.err;
      EXPECT_EQ(Lines(merged.out), expected);
      if (n == 2 && strict && !manifest) {
        // merge --strict judges shares checked without it as one strict run.
        for (int k = 0; k < n; ++k) {
          std::vector<std::string> lenient = {"--shard", std::to_string(k) + "/2", "--format", "jsonl", "-o",
                                              "share-" + std::to_string(k) + ".jsonl"};
          for (const std::string& option : options) {
            if (option != "--strict") lenient.push_back(option);
          }
          ASSERT_LE(Scan(lenient).exitCode, 3);
        }
        const ProgramResult strictMerge = Scan({"merge", "--strict", "--format", "jsonl", "share-0.jsonl", "share-1.jsonl"});
        EXPECT_EQ(strictMerge.exitCode, whole.exitCode) << strictMerge.err;
        EXPECT_EQ(Lines(strictMerge.out), expected);
      }
      if (n == 3) {
        merge[2] = "text";
        const ProgramResult mergedText = Scan(merge);
        EXPECT_EQ(mergedText.exitCode, whole.exitCode);
        EXPECT_EQ(WithoutTime(mergedText.out), WithoutTime(text.out));
      }
    }
  }
}

TEST_F(ScanCiGateTest, MergeRefusesReportsThatAreNotTheWholeSplit) {
  // Enough components that each report is larger than one read.
  for (int i = 0; i < 450; ++i) {
    Put("rel/k" + std::to_string(i) + ".exe", Kit(std::string(200, 'K') + std::to_string(i)));
  }
  for (int k = 0; k < 3; ++k) {
    ASSERT_EQ(Scan({"--shard", std::to_string(k) + "/3", "--format", "jsonl", "-o",
                    "s" + std::to_string(k) + ".jsonl", "rel"})
                  .exitCode,
              0);
  }
  ASSERT_EQ(Scan({"--shard", "1/3", "--strict", "--format", "jsonl", "-o", "strict1.jsonl", "rel"}).exitCode, 0);
  ASSERT_EQ(Scan({"--format", "jsonl", "-o", "whole.jsonl", "rel"}).exitCode, 0);
  ASSERT_EQ(Shell("head -n -1 s1.jsonl > cut.jsonl && head -c 150 s1.jsonl > torn.jsonl && "
                  "sed 's#packprobe-scan/[0-9]*#packprobe-scan/9#' s1.jsonl > schema.jsonl && "
                  "cat s1.jsonl s1.jsonl > twice.jsonl && printf 'x\\n' > junk.jsonl && "
                  "sed 's/\"shard\":\"1\\/3\"/\"shard\":\"0\\/3\"/' s1.jsonl > overlap.jsonl")
                .exitCode,
            0);
  const std::tuple<std::vector<std::string>, std::string> cases[] = {
      {{"s0.jsonl", "s1.jsonl"}, "share 2 of 3 is missing"},
      {{"s0.jsonl", "cut.jsonl", "s2.jsonl"}, "no closing record"},
      {{"s0.jsonl", "torn.jsonl", "s2.jsonl"}, "cut"},
      {{"s0.jsonl", "schema.jsonl", "s2.jsonl"}, "packprobe-scan/9"},
      {{"s0.jsonl", "twice.jsonl", "s2.jsonl"}, "after the closing record"},
      {{"s0.jsonl", "s1.jsonl", "s1.jsonl", "s2.jsonl"}, "both share 1/3"},
      {{"s0.jsonl", "strict1.jsonl", "s2.jsonl"}, "other options"},
      {{"s0.jsonl", "s1.jsonl", "whole.jsonl"}, "not shares of one split"},
      {{"s0.jsonl", "junk.jsonl", "s2.jsonl"}, "junk.jsonl:1: not a JSON object"},
      {{"s0.jsonl", "nothing.jsonl", "s2.jsonl"}, "cannot read \"nothing.jsonl\""},
      {{"s0.jsonl", "overlap.jsonl", "s2.jsonl"}, "both share 0/3"},
  };
  for (const auto& [inputs, message] : cases) {
    std::vector<std::string> arguments = {"merge", "-o", "merged.jsonl", "--format", "jsonl"};
    arguments.insert(arguments.end(), inputs.begin(), inputs.end());
    const ProgramResult r = Scan(arguments);
    EXPECT_EQ(r.exitCode, 65) << message;
    EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(cwd_ / "merged.jsonl")) << message;
  }
  // The shares in any order give the unsharded report.
  ASSERT_GT(ReadFile(cwd_ / "s0.jsonl").size(), 65536u);
  const ProgramResult r = Scan({"merge", "--format", "jsonl", "s2.jsonl", "s0.jsonl", "s1.jsonl"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(Lines(r.out), Lines(ReadFile(cwd_ / "whole.jsonl")));
}

// Reads a workflow-command property or message back as the runner does.
std::string Unescape(const std::string& text) {
  static const std::map<std::string, char> codes = {
      {"%25", '%'}, {"%0D", '\r'}, {"%0A", '\n'}, {"%3A", ':'}, {"%2C", ','}};
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto it = text[i] == '%' ? codes.find(text.substr(i, 3)) : codes.end();
    if (it != codes.end()) {
      out += it->second;
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

TEST_F(ScanCiGateTest, GithubAnnotationsEscapeHostileNamesAndDetails) {
  for (std::size_t i = 0; i < std::size(kHostileNames); ++i) {
    const std::string name = kHostileNames[i];
    ComponentContents c = Kit("Hostile " + std::to_string(i));
    c.comments = u"VEKStub 3.0%0A::error::x,\r\na:b3.0.3.0";  // stub-version-text quotes it
    Put("rel/" + name, c);
    c.comments = u"VEKStub 2.0.0.0";
    Put("rel/old-" + name, c);
  }
  const ProgramResult jsonl = Scan({"--format", "jsonl", "--stub-min", "3.0.0.0", "rel"});
  const ProgramResult github = Scan({"--format", "github", "--stub-min", "3.0.0.0", "rel"});
  ASSERT_EQ(github.exitCode, 1) << github.out;
  ASSERT_EQ(jsonl.exitCode, 1);

  // What the annotations must say, from the JSON Lines report.
  std::multiset<std::tuple<std::string, std::string, std::string, std::string>> expected;
  for (const Json& record : Lines(jsonl.out)) {
    if (!record.contains("path")) continue;
    if (record["outcome"] == "stub-out-of-range") {
      expected.emplace("error", record["path"], "stub-out-of-range",
                       "VEKStub 2.0.0.0 (2000) is outside its range 3.0.0.0 to 9.9.9.9 (3000 to 9999)");
    }
    for (const Json& w : record["warnings"]) expected.emplace("warning", record["path"], w["code"], w["detail"]);
  }
  ASSERT_EQ(expected.size(), 2 * std::size(kHostileNames));

  std::multiset<std::tuple<std::string, std::string, std::string, std::string>> seen;
  std::istringstream lines(github.out);
  std::vector<std::string> plain;
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("::", 0) != 0) {
      plain.push_back(line);
      continue;
    }
    const std::size_t space = line.find(' ');
    const std::size_t end = line.find("::", space);
    ASSERT_NE(end, std::string::npos) << line;
    const std::string command = line.substr(2, space - 2);
    std::map<std::string, std::string> properties;
    std::istringstream list(line.substr(space + 1, end - space - 1));
    for (std::string property; std::getline(list, property, ',');) {
      const std::size_t equals = property.find('=');
      properties[property.substr(0, equals)] = Unescape(property.substr(equals + 1));
    }
    EXPECT_EQ(properties.size(), 2u) << line;
    EXPECT_EQ(line.find('\r'), std::string::npos) << line;
    seen.emplace(command, properties["file"], properties["title"], Unescape(line.substr(end + 2)));
  }
  EXPECT_EQ(seen, expected);
  ASSERT_EQ(plain.size(), 1u) << github.out;
  EXPECT_EQ(plain[0].rfind(std::to_string(2 * std::size(kHostileNames)) + " components: ", 0), 0u);
}

// Renders a Markdown file as GitHub's summary is rendered (cmark-gfm, its
// renderer, with its extensions), and prints the cells of its tables as
// JSON: [[[cell, ...], ...], ...].
constexpr const char* kRenderTables = R"(
import html.parser, json, subprocess, sys
page = subprocess.run(["cmark-gfm", "-e", "table", "-e", "autolink", "-e", "strikethrough", sys.argv[1]],
                      check=True, capture_output=True, text=True).stdout
class Tables(html.parser.HTMLParser):
    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.tables, self.cell, self.tags = [], None, []
    def handle_starttag(self, tag, attrs):
        if tag == "table": self.tables.append([])
        elif tag == "tr": self.tables[-1].append([])
        elif tag in ("td", "th"): self.cell = ""
        elif self.cell is not None: self.tags.append(tag)
    def handle_endtag(self, tag):
        if tag in ("td", "th"):
            self.tables[-1][-1].append(self.cell)
            self.cell = None
    def handle_data(self, data):
        if self.cell is not None: self.cell += data
parser = Tables()
parser.feed(page)
print(json.dumps({"tables": parser.tables, "markup": parser.tags}))
)";

std::string CellText(const std::string& text) {
  std::string out;
  for (const char c : text) {
    if (c == '\n') out += "\\n";
    else if (c == '\r') out += "\\r";
    else if (c == '\t') out += "\\t";
    else out += c;
  }
  return out;
}

TEST_F(ScanCiGateTest, MarkdownSummaryRendersEveryFailureAndCount) {
  BuildRelease();
  WriteFile(cwd_ / "summary.md", "## an earlier step\n\n");
  std::vector<std::string> arguments = {"--format", "github"};
  arguments.insert(arguments.end(), kRanges.begin(), kRanges.end());
  arguments.push_back("rel");
  const ProgramResult github =
      Scan(arguments, {{"GITHUB_STEP_SUMMARY", (cwd_ / "summary.md").string()}});
  ASSERT_EQ(github.exitCode, 2) << github.err;
  arguments[1] = "jsonl";
  const std::vector<Json> report = Lines(Scan(arguments).out);

  const std::string script = (cwd_ / "render.py").string();
  WriteFile(script, kRenderTables);
  const ProgramResult render = RunProgram({"/usr/bin/python3", {script, (cwd_ / "summary.md").string()}, {}, {}});
  ASSERT_EQ(render.exitCode, 0) << render.err << "(scripts/bootstrap.sh installs cmark-gfm)";
  const Json page = Json::parse(render.out);
  EXPECT_EQ(page["markup"], Json::array()) << "a name became markup";
  ASSERT_EQ(page["tables"].size(), 3u) << render.out;
  EXPECT_EQ(ReadFile(cwd_ / "summary.md").rfind("## an earlier step\n\n", 0), 0u) << "appended";

  const Json& closing = report.back();
  std::vector<std::vector<std::string>> counts = {{"outcome", "components"}};
  for (const auto& [outcome, count] : closing["counts"].items()) {
    counts.push_back({outcome, std::to_string(count.get<int>())});
  }
  EXPECT_EQ(page["tables"][0].get<std::vector<std::vector<std::string>>>(), counts);

  std::vector<std::vector<std::string>> failures = {{"path", "outcome", "reason", "detail"}};
  for (const Json& r : report) {
    if (!r.contains("path") || r["outcome"] == "passed" || r["outcome"] == "filtered") continue;
    const std::string reason = r["reason"].is_null() ? r["outcome"] : r["reason"]["code"];
    failures.push_back({CellText(r["path"]), r["outcome"], reason, ""});
  }
  auto rendered = page["tables"][1].get<std::vector<std::vector<std::string>>>();
  for (std::size_t i = 1; i < rendered.size(); ++i) rendered[i][3] = "";  // details: the annotations' test
  EXPECT_EQ(rendered, failures);
  // Every warning too, which GitHub's annotations may not all show.
  std::vector<std::vector<std::string>> warnings = {{"path", "warning", "detail"}};
  for (const Json& r : report) {
    if (!r.contains("path")) continue;
    for (const Json& w : r["warnings"]) warnings.push_back({CellText(r["path"]), w["code"], ""});
  }
  rendered = page["tables"][2].get<std::vector<std::vector<std::string>>>();
  for (std::size_t i = 1; i < rendered.size(); ++i) rendered[i][2] = "";
  EXPECT_EQ(rendered, warnings);
}

TEST_F(ScanCiGateTest, ConfigurationFileAndCommandLineCombine) {
  ComponentContents c = Kit("Short setup");
  c.setupFileVersion = u"7.9.1";  // warning setup-version-text
  Put("repo/rel/short.exe", c);
  c = Kit("Old");
  c.comments = u"VEKStub 2.0.0.0";
  Put("repo/rel/legacy/old.exe", c);
  fs::create_directories(cwd_ / "repo" / "rel" / "sub");
  // The search for the file stops at the repository's root.
  fs::create_directories(cwd_ / "repo" / ".git");
  const std::string file = "repo/packprobe-scan.toml";
  ASSERT_EQ(Scan({"snapshot", "repo/rel", "-o", "repo/rel.manifest.json"}).exitCode, 0);
  struct Case {
    std::string config;  // packprobe-scan.toml in repo/ ("": none)
    std::vector<std::string> arguments;
    int exitCode;
    std::string expect;  // in standard output, or standard error for usage errors
  };
  const Case cases[] = {
      {"", {"repo/rel"}, 0, "2 components: 2 passed"},
      // The file in the folder scanned or one of its ancestors.
      {"stub-min = \"3.0.0.0\"\n", {"repo/rel"}, 1, "stub-out-of-range"},
      {"stub-min = \"3.0.0.0\"\n", {"repo/rel/legacy"}, 1, "1 component: 0 passed, 1 failed"},
      {"stub-min = \"3.0.0.0\"\n", {"--no-config", "repo/rel"}, 0, "2 passed"},
      {"stub-min = \"3.0.0.0\"\n", {"--stub-min", "2.0.0.0", "repo/rel"}, 0, "2 passed"},
      {"stub-min = \"3.0.0.0\"\nexclude = [\"legacy\"]\n", {"repo/rel"}, 0, "1 component: 1 passed"},
      {"stub-min = \"3.0.0.0\"\nexclude = [\"legacy\"]\n", {"--exclude", "*.txt", "repo/rel"}, 1,
       "2 components"},
      {"error-on = [\"setup-version-text\"]\nexclude = [\"legacy/**\"]\n", {"repo/rel"}, 2,
       "error-on-warning"},
      {"error-on = [\"setup-version-text\"]\n", {"--ignore", "setup-version-text", "--exclude", "legacy", "repo/rel"},
       0, "1 component: 1 passed"},
      {"strict = true\nexclude = [\"legacy\"]\n", {"repo/rel"}, 2, "strict-warning"},
      {"strict = true\nexclude = [\"legacy\"]\n", {"--no-strict", "repo/rel"}, 0, "1 passed"},
      {"ignore = [\"setup-version-text\"]\nexclude = [\"legacy\"]\n", {"--strict", "repo/rel"}, 0, "1 passed"},
      {"software-only = true\nstub-min = \"3.0.0.0\"\n", {"--firmware-only", "repo/rel"}, 0, "2 filtered"},
      // Usage errors name the file and the line.
      {"# ranges\nstub-min = \"3.0.0.0\"\nstub-minimum = \"3\"\n", {"repo/rel"}, 64,
       "packprobe-scan.toml:3: unknown key \"stub-minimum\""},
      {"stub-min = \"3.0.0.0\"\nstrict = yes\n", {"repo/rel"}, 64, "packprobe-scan.toml:2:"},
      {"\n\nstub-min = 3.0\n", {"repo/rel"}, 64, "packprobe-scan.toml:3: stub-min must be a string"},
      {"stub-min = \"1.2.3.4.5.6.7.8\"\n", {"repo/rel"}, 64, "packprobe-scan.toml:1: stub-min: \"1.2.3.4.5.6.7.8\" is not a version"},
      {"error-on = [\"stub-comment-tail\"]\n", {"repo/rel"}, 64, "packprobe-scan.toml:1:"},
      {"[ranges]\nstub-min = \"3.0.0.0\"\n", {"repo/rel"}, 64, "packprobe-scan.toml:1: unknown key \"ranges\""},
      {"stub-min = \"4.0.0.0\"\n", {"--stub-max", "3.0.3.0", "repo/rel"}, 64, "--stub-min 4.0.0.0 is above --stub-max 3.0.3.0"},
      {"", {"--config", "none.toml", "repo/rel"}, 64, "none.toml"},
      // The command line wins for the manifest too.
      {"manifest = \"none.json\"\n", {"--manifest", "repo/rel.manifest.json", "repo/rel"}, 0, "2 passed"},
      {"manifest = \"rel.manifest.json\"\n", {"repo/rel"}, 0, "2 passed"},
      {"manifest = \"none.json\"\n", {"repo/rel"}, 65, ""},
      {"", {"--error-on", "duplicate-component", "--ignore", "duplicate-component", "repo/rel"}, 64,
       "is both in --error-on and --ignore"},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.config + " / " + test.arguments.front());
    std::error_code ignored;
    fs::remove(cwd_ / file, ignored);
    if (!test.config.empty()) WriteFile(cwd_ / file, test.config);
    std::vector<std::string> arguments = {"-q", "--color", "never"};
    arguments.insert(arguments.end(), test.arguments.begin(), test.arguments.end());
    const ProgramResult r = Scan(arguments);
    EXPECT_EQ(r.exitCode, test.exitCode) << r.out << r.err;
    EXPECT_NE((test.exitCode >= 64 ? r.err : r.out).find(test.expect), std::string::npos) << r.out << r.err;
  }
  // A file above the repository, which anyone may have put there, is not
  // read; nor is one that anyone may write.
  fs::remove(cwd_ / file);
  WriteFile(cwd_ / "packprobe-scan.toml", "firmware-only = true\n");
  EXPECT_EQ(Scan({"-q", "repo/rel"}).out.find("filtered"), std::string::npos);
  WriteFile(cwd_ / file, "stub-min = \"3.0.0.0\"\n");
  fs::permissions(cwd_ / file, fs::perms::others_write, fs::perm_options::add);
  const ProgramResult open = Scan({"-q", "repo/rel"});
  EXPECT_EQ(open.exitCode, 64);
  EXPECT_NE(open.err.find("anyone may write it"), std::string::npos) << open.err;
  EXPECT_EQ(Scan({"-q", "--config", file, "repo/rel"}).exitCode, 1);
}

// Waivers with reasons, in the repository's configuration: each case
// through every format, with its exit code and the totals that count the
// waived apart.
TEST_F(ScanCiGateTest, WaiversTakeKnownExceptionsOffTheGateAndSaySo) {
  ComponentContents c = Kit("Old");
  c.comments = u"VEKStub 2.0.0.0";
  Put("repo/rel/legacy/old.exe", c);
  c = Kit("Short setup");
  c.setupFileVersion = u"7.9.1";  // warning setup-version-text
  Put("repo/rel/short.exe", c);
  Put("repo/rel/good.exe", Kit("Good"));
  fs::create_directories(cwd_ / "repo" / ".git");
  const std::string waiveOld =
      "[[waive]]\npath = \"rel/legacy/old.exe\"\ncode = \"stub-out-of-range\"\nreason = \"vendor ships 2.9\"\n";
  struct Case {
    const char* what;
    std::string config;
    std::vector<std::string> arguments;
    int exitCode;
    std::size_t waived;       // in the closing record
    std::string text;         // in the text report
  };
  const Case cases[] = {
      {"a waived failure", waiveOld + "until = 2099-12-31\n", {"repo/rel"}, 0, 1,
       "waived stub-out-of-range until 2099-12-31: vendor ships 2.9"},
      {"a waived warning under --strict",
       "[[waive]]\npath = \"rel/short.exe\"\ncode = \"setup-version-text\"\nreason = \"fixed in 8.0\"\n",
       {"--strict", "--stub-min", "1.0.0.0", "repo/rel"}, 0, 1, "(waived: fixed in 8.0)"},
      {"an ended waiver", waiveOld + "until = 2020-01-31\n", {"repo/rel"}, 1, 0, "waiver-expired"},
      {"a waiver of nothing", "[[waive]]\npath = \"rel/none.exe\"\ncode = \"invalid\"\nreason = \"gone\"\n",
       {"repo/rel"}, 1, 0, "warning: waiver-unused: the waiver rel/none.exe invalid matched no component: gone"},
      {"relative to the file, scanning a subfolder", waiveOld, {"repo/rel/legacy"}, 0, 1, "waived stub-out-of-range"},
      {"a waiver without a reason", "[[waive]]\npath = \"rel/x.exe\"\ncode = \"invalid\"\n", {"repo/rel"}, 64, 0,
       "needs path, code and reason"},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.what);
    WriteFile(cwd_ / "repo" / "packprobe-scan.toml", test.config);
    std::vector<std::string> base = {"--stub-min", "3.0.0.0"};
    base.insert(base.end(), test.arguments.begin(), test.arguments.end());
    if (test.arguments.front() == "--strict") base = test.arguments;
    std::map<std::string, ProgramResult> runs;
    for (const char* format : {"jsonl", "text", "csv", "junit", "github"}) {
      std::vector<std::string> arguments = {"--format", format};
      arguments.insert(arguments.end(), base.begin(), base.end());
      runs[format] = Scan(arguments);
      EXPECT_EQ(runs[format].exitCode, test.exitCode) << format << runs[format].err;
    }
    if (test.exitCode == 64) {
      EXPECT_NE(runs["text"].err.find(test.text), std::string::npos) << runs["text"].err;
      continue;
    }
    EXPECT_NE(runs["text"].out.find(test.text), std::string::npos) << runs["text"].out;
    const Json closing = Lines(runs["jsonl"].out).back();
    EXPECT_EQ(closing["waived"], test.waived);
    EXPECT_EQ(closing["exit_code"], test.exitCode);
    if (test.waived != 0) {
      EXPECT_NE(runs["text"].out.find(std::to_string(test.waived) + " waived"), std::string::npos) << runs["text"].out;
      EXPECT_NE(runs["csv"].out.find("waived"), std::string::npos);
      EXPECT_NE(runs["junit"].out.find("waived"), std::string::npos) << runs["junit"].out;
      EXPECT_EQ(runs["github"].out.find("::error"), std::string::npos) << runs["github"].out;
    }
  }

  // A merge applies the waivers as one run does.
  WriteFile(cwd_ / "repo" / "packprobe-scan.toml", waiveOld);
  const ProgramResult whole = Scan({"--format", "jsonl", "--stub-min", "3.0.0.0", "repo/rel"});
  std::vector<std::string> merge = {"merge", "--format", "jsonl"};
  for (int k = 0; k < 3; ++k) {
    const std::string share = "w" + std::to_string(k) + ".jsonl";
    ASSERT_LE(Scan({"--format", "jsonl", "--stub-min", "3.0.0.0", "--shard", std::to_string(k) + "/3", "-o", share,
                    "repo/rel"})
                  .exitCode,
              1);
    merge.push_back(share);
  }
  const ProgramResult merged = Scan(merge);
  EXPECT_EQ(merged.exitCode, whole.exitCode);
  EXPECT_EQ(Lines(merged.out), Lines(whole.out));

  // --verbose says what the run used.
  const ProgramResult verbose = Scan({"-q", "--verbose", "--exclude", "short*", "--stub-min", "3.0.0.0", "repo/rel"});
  EXPECT_NE(verbose.err.find("configuration: repo/packprobe-scan.toml"), std::string::npos) << verbose.err;
  EXPECT_NE(verbose.err.find("exclude short* (command line): 1 path left out"), std::string::npos) << verbose.err;
  EXPECT_NE(verbose.err.find("waiver rel/legacy/old.exe stub-out-of-range: 1 waived"), std::string::npos)
      << verbose.err;
}

TEST_F(ScanCiGateTest, OneRunWritesTheLogTheAnnotationsAndTheArtifact) {
  Put("rel/good.exe", Kit("Good"));
  ComponentContents c = Kit("Old");
  c.comments = u"VEKStub 2.0.0.0";
  Put("rel/new\nline.exe", c);
  const std::vector<std::string> common = {"--stub-min", "3.0.0.0", "rel"};
  const auto with = [&](std::vector<std::string> arguments) {
    arguments.insert(arguments.end(), common.begin(), common.end());
    return Scan(arguments);
  };
  const ProgramResult r = with({"--format", "text", "--color", "always", "--also", "jsonl:out/r.jsonl",
                                "--also", "github:r.log", "--summary", "s.md"});
  ASSERT_FALSE(fs::exists(cwd_ / "out"));  // the folder does not exist
  EXPECT_EQ(r.exitCode, 74) << r.err;
  EXPECT_NE(r.err.find("out/r.jsonl"), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(cwd_ / "r.log"));

  const ProgramResult all = with({"--format", "text", "--color", "always", "--also", "jsonl:r.jsonl",
                                  "--also", "github:r.log", "--summary", "s.md"});
  EXPECT_EQ(all.exitCode, 1) << all.err;
  EXPECT_NE(all.out.find("\x1b[33mstub-out-of-range\x1b[0m"), std::string::npos) << all.out;
  EXPECT_NE(all.out.find("\x1b[32mpassed\x1b[0m"), std::string::npos) << all.out;
  EXPECT_EQ(Lines(ReadFile(cwd_ / "r.jsonl")), Lines(with({"--format", "jsonl"}).out));
  EXPECT_EQ(WithoutTime(ReadFile(cwd_ / "r.log")), WithoutTime(with({"--format", "github"}).out));
  EXPECT_NE(ReadFile(cwd_ / "s.md").find("1 of 2 components failed"), std::string::npos);
  EXPECT_EQ(with({"--format", "text", "--color", "never"}).out.find('\x1b'), std::string::npos);
  EXPECT_EQ(with({"--format", "text"}).out.find('\x1b'), std::string::npos);  // auto: no terminal

  // NUL-separated lists carry any name; excludes apply to them as well.
  WriteFile(cwd_ / "list", std::string("rel/new\nline.exe\0rel/good.exe\0rel/gone.exe\0", 44));
  const ProgramResult listed = Scan({"-0", "--files-from", "list", "--exclude", "gone.exe", "--format", "jsonl"});
  std::vector<std::string> paths;
  for (const Json& line : Lines(listed.out)) {
    if (line.contains("path")) paths.push_back(line["path"]);
  }
  EXPECT_EQ(paths, (std::vector<std::string>{"rel/good.exe", "\"rel/new\\nline.exe\""}));
  EXPECT_EQ(Scan({"--also", "jsonl:a.jsonl", "-o", "a.jsonl", "rel"}).exitCode, 64);
}

}  // namespace
}  // namespace packprobe::testsupport
