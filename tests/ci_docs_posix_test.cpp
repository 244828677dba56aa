// The CI examples in docs/ as a user copies them: their YAML parses, their
// structure keeps the promises the documents make, and their shell steps,
// run against a real release split into shares, give the verdict of one
// unsharded run and fail when the program is missing.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/component_builder.h"
#include "tests/support/program_runner.h"
#include "tests/support/scratch_dir.h"

namespace packprobe::testsupport {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;

// Prints {"yaml": [documents...], "bash": [blocks...]} for a Markdown file.
constexpr const char* kExtract = R"(
import json, re, sys
import yaml
text = open(sys.argv[1], encoding="utf-8").read()
blocks = re.findall(r"^```(\w+)\n(.*?)^```", text, re.S | re.M)
print(json.dumps({
    "yaml": [yaml.safe_load(body) for kind, body in blocks if kind == "yaml"],
    "bash": [body for kind, body in blocks if kind == "bash"],
}))
)";

std::string Replace(std::string text, const std::string& from, const std::string& to) {
  for (std::size_t at = text.find(from); at != text.npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

class CiDocsTest : public ::testing::Test {
 protected:
  Json Extract(const std::string& document) {
    const fs::path script = cwd_ / "extract.py";
    WriteFile(script, kExtract);
    const ProgramResult r =
        RunProgram({"/usr/bin/python3", {script.string(), (SourceDir() / "docs" / document).string()}, {}, {}});
    EXPECT_EQ(r.exitCode, 0) << r.err << "(scripts/bootstrap.sh installs python3-yaml)";
    return r.exitCode == 0 ? Json::parse(r.out) : Json();
  }

  // A release whose verdict needs the whole: components that pass alone,
  // the same component in three folders (an error under
  // --error-on duplicate-component, found only across shares), and one
  // broken file when asked.
  void BuildRelease(const fs::path& folder, bool broken) {
    for (const char* path : {"a/kit.exe", "b/kit.exe", "c/d/kit.exe", "e/other.exe", "f/third.exe"}) {
      ComponentContents contents;
      contents.metadataName = fs::path(path).stem().string() + ".xml";
      contents.metadata = MetadataXml(std::string("Kit ") + (path[2] == 'k' || path[4] == 'k' ? "twin" : path),
                                      "Software - Tools");
      fs::create_directories((folder / path).parent_path());
      WriteFile(folder / path, BuildComponent(contents));
    }
    if (broken) WriteFile(folder / "broken.exe", "not a component");
  }

  // Runs a shell script with packprobe-scan on the PATH (or not).
  ProgramResult Bash(const std::string& script, const fs::path& directory,
                     std::map<std::string, std::string> environment, bool withProgram = true) {
    const std::string programs = fs::path(PACKPROBE_SCAN_EXE).parent_path().string();
    environment["PATH"] = (withProgram ? programs + ":" : "") + "/usr/bin:/bin";
    environment["TMPDIR"] = tmp_.path().string();
    return RunProgram({"/bin/bash", {"-e", "-c", script}, directory, environment});
  }

  ScratchDir cwd_;
  ScratchDir tmp_;
};

TEST_F(CiDocsTest, GithubWorkflowGatesLikeOneUnshardedRun) {
  const Json document = Extract("ci-github-actions.md");
  ASSERT_EQ(document["yaml"].size(), 1u);
  const Json& workflow = document["yaml"][0];
  const Json& scan = workflow["jobs"]["scan"];
  const Json& gate = workflow["jobs"]["gate"];
  EXPECT_EQ(gate["needs"], "scan");
  EXPECT_EQ(gate["if"], "always()") << "the gate must run when a share failed";
  std::string scanStep, gateStep;
  for (const Json* job : {&scan, &gate}) {
    bool installs = false;
    for (const Json& step : (*job)["steps"]) {
      const std::string uses = step.value("uses", "");
      if (uses.rfind("actions/upload-artifact", 0) == 0) {
        EXPECT_EQ(step.value("if", ""), "always()") << "an upload skipped when the gate fails";
      }
      const std::string run = step.value("run", "");
      if (run.find("apt-get install") != run.npos) installs = true;
      if (run.find("packprobe-scan --shard") != run.npos) scanStep = run;
      if (run.find("packprobe-scan merge") != run.npos) gateStep = run;
    }
    EXPECT_TRUE(installs) << "every job installs the program";
  }
  ASSERT_NE(scanStep, "");
  ASSERT_NE(gateStep, "");
  const std::size_t matrix = scan["strategy"]["matrix"]["share"].size();

  for (const bool broken : {false, true}) {
    SCOPED_TRACE(broken ? "with a broken component" : "duplicates only");
    const fs::path work = cwd_ / (broken ? "broken" : "clean");
    BuildRelease(work / "release", broken);
    // The unsharded verdict: one share of one, whose report closes with it.
    const std::string single = Replace(Replace(scanStep, "${{ strategy.job-index }}", "0"),
                                       "${{ strategy.job-total }}", "1");
    ASSERT_EQ(Bash(single, work, {}).exitCode, 0);
    const std::string report = ReadFile(work / "share-0.jsonl");
    const int expected = Json::parse(report.substr(report.rfind('\n', report.size() - 2) + 1))["exit_code"];
    EXPECT_EQ(expected, 2);
    fs::remove(work / "share-0.jsonl");

    for (const std::size_t n : {matrix, std::size_t{3}}) {
      for (std::size_t k = 0; k < n; ++k) {
        const std::string step = Replace(Replace(scanStep, "${{ strategy.job-index }}", std::to_string(k)),
                                         "${{ strategy.job-total }}", std::to_string(n));
        const ProgramResult r = Bash(step, work, {});
        ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
        fs::rename(work / ("share-" + std::to_string(k) + ".jsonl"),
                   cwd_ / ("share-" + std::to_string(k) + ".jsonl"));
      }
      const ProgramResult verdict = Bash(gateStep, cwd_.path(), {{"GITHUB_STEP_SUMMARY", (cwd_ / "summary.md").string()}});
      EXPECT_EQ(verdict.exitCode, expected) << verdict.out << verdict.err;
      EXPECT_NE(verdict.out.find("::error file=release/b/kit.exe,title=error-on-warning::"), std::string::npos)
          << verdict.out;
      EXPECT_NE(ReadFile(cwd_ / "summary.md").find("| error-on-warning |"), std::string::npos);
      EXPECT_TRUE(fs::exists(cwd_ / "packprobe.jsonl") && fs::exists(cwd_ / "packprobe.xml"));
      // A share whose job did not report: the gate fails and names it.
      fs::remove(cwd_ / "share-1.jsonl");
      const ProgramResult gap = Bash(gateStep, cwd_.path(), {{"GITHUB_STEP_SUMMARY", (cwd_ / "summary.md").string()}});
      EXPECT_EQ(gap.exitCode, 65);
      EXPECT_NE(gap.err.find("share 1 of " + std::to_string(n) + " is missing"), std::string::npos) << gap.err;
      // A share whose folder came empty checked nothing: the gate sees that
      // it found other paths than the rest.
      fs::create_directories(cwd_ / "empty" / "release");
      const std::string one = Replace(Replace(scanStep, "${{ strategy.job-index }}", "1"),
                                      "${{ strategy.job-total }}", std::to_string(n));
      ASSERT_EQ(Bash(one, cwd_ / "empty", {}).exitCode, 0);
      fs::rename(cwd_ / "empty" / "share-1.jsonl", cwd_ / "share-1.jsonl");
      const ProgramResult empty = Bash(gateStep, cwd_.path(), {{"GITHUB_STEP_SUMMARY", (cwd_ / "summary.md").string()}});
      EXPECT_EQ(empty.exitCode, 65);
      EXPECT_NE(empty.err.find("found 0 paths before sharding"), std::string::npos) << empty.err;
      for (std::size_t k = 0; k < n; ++k) fs::remove(cwd_ / ("share-" + std::to_string(k) + ".jsonl"));
    }
  }
  // No program: the scan job fails, and so does the gate.
  const std::string step = Replace(Replace(scanStep, "${{ strategy.job-index }}", "0"), "${{ strategy.job-total }}", "2");
  EXPECT_NE(Bash(step, cwd_ / "clean", {}, false).exitCode, 0);
  EXPECT_NE(Bash(gateStep, cwd_.path(), {}, false).exitCode, 0);
  // A release that did not arrive fails its share's job.
  fs::create_directories(cwd_ / "nothing");
  const ProgramResult missing = Bash(step, cwd_ / "nothing", {});
  EXPECT_EQ(missing.exitCode, 1);
  EXPECT_NE(missing.out.find("the release folder is missing"), std::string::npos) << missing.out;
}

TEST_F(CiDocsTest, KubernetesJobGivesEveryShareItsOwnRetriesAndMergesAfterwards) {
  const Json document = Extract("ci-kubernetes.md");
  ASSERT_EQ(document["bash"].size(), 1u);
  Json job;
  Json claim;
  for (const Json& object : document["yaml"]) {
    (object["kind"] == "Job" ? job : claim) = object;
  }
  ASSERT_EQ(document["yaml"].size(), 2u);
  ASSERT_EQ(claim["kind"], "PersistentVolumeClaim");
  const Json& spec = job["spec"];
  // Every pod writes its report to the claim at once, from any node.
  Json reportsClaim;
  for (const Json& volume : spec["template"]["spec"]["volumes"]) {
    if (volume["name"] == "reports") reportsClaim = volume["persistentVolumeClaim"]["claimName"];
  }
  EXPECT_EQ(reportsClaim, claim["metadata"]["name"]);
  EXPECT_EQ(claim["spec"]["accessModes"], Json::array({"ReadWriteMany"}));
  EXPECT_EQ(spec["completionMode"], "Indexed");
  EXPECT_FALSE(spec.contains("backoffLimit")) << "a Job-wide limit ends every share when one fails";
  EXPECT_GE(spec["backoffLimitPerIndex"].get<int>(), 0);
  EXPECT_EQ(spec["maxFailedIndexes"], spec["completions"]);
  EXPECT_EQ(spec["template"]["spec"]["restartPolicy"], "Never");
  const Json& container = spec["template"]["spec"]["containers"][0];
  int shares = 0;
  for (const Json& variable : container["env"]) {
    if (variable["name"] == "SHARES") shares = std::stoi(variable["value"].get<std::string>());
  }
  ASSERT_EQ(shares, spec["completions"].get<int>());
  const std::string pod = container["args"][0];
  const std::string merge = document["bash"][0];

  const fs::path release = cwd_ / "release";
  const fs::path reports = cwd_ / "reports";
  BuildRelease(release, true);
  fs::create_directories(reports);
  const auto local = [&](const std::string& script) {
    return Replace(Replace(script, "/release", release.string()), "/reports", reports.string());
  };
  const ProgramResult whole = Bash(
      "packprobe-scan --error-on duplicate-component --stub-min 3.0.0.0 --stub-max 3.0.3.0 "
      "--setup-min 7.0.0.0 " + release.string(), cwd_.path(), {});
  ASSERT_EQ(whole.exitCode, 2) << whole.out;
  for (int k = 0; k < shares; ++k) {
    const ProgramResult r = Bash(local(pod), cwd_.path(),
                                 {{"JOB_COMPLETION_INDEX", std::to_string(k)}, {"SHARES", std::to_string(shares)}});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
  }
  const ProgramResult verdict = Bash(local(merge), cwd_.path(), {});
  EXPECT_EQ(verdict.exitCode, whole.exitCode) << verdict.out << verdict.err;
  EXPECT_EQ(verdict.out.substr(0, verdict.out.rfind(", in ")), whole.out.substr(0, whole.out.rfind(", in ")));

  // A pod without the program fails (and is retried alone); a missing share
  // fails the gate.
  EXPECT_EQ(Bash(local(pod), cwd_.path(), {{"JOB_COMPLETION_INDEX", "0"}, {"SHARES", "8"}}, false).exitCode, 127);
  fs::remove(reports / "share-5.jsonl");
  const ProgramResult gap = Bash(local(merge), cwd_.path(), {});
  EXPECT_EQ(gap.exitCode, 65);
  EXPECT_NE(gap.err.find("share 5 of 8 is missing"), std::string::npos) << gap.err;
}

}  // namespace
}  // namespace packprobe::testsupport
