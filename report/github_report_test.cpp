#include <gtest/gtest.h>

#include <cstdio>
#include <regex>
#include <string>
#include <vector>

#include "report/report.h"
#include "tests/support/scratch_dir.h"

namespace packprobe::report {
namespace {

ScanRecord Failing(const std::string& path, std::size_t warnings) {
  ScanRecord r;
  r.path = path;
  r.outcome = gate::Outcome::kInvalid;
  r.reason = gate::Reason{"zip-crc-mismatch", "open-archive", "the data's CRC-32 is wrong", {}, 0};
  for (std::size_t i = 0; i < warnings; ++i) r.warnings.push_back({"stub-comments-tail", "odd, tail " + std::to_string(i)});
  return r;
}

std::vector<std::string> Lines(const std::vector<ScanRecord>& records, const ReportStyle& style, Format format) {
  std::FILE* out = std::tmpfile();
  const auto report = MakeReport(format, style, out);
  RunEnd end;
  report->Begin({});
  for (const ScanRecord& r : records) {
    end.totals.Count(r);
    report->Add(r);
  }
  report->End(end);
  report->Flush();
  const std::string text = testsupport::ReadStream(out);
  std::fclose(out);
  std::vector<std::string> lines;
  for (std::size_t at = 0, end2; (end2 = text.find('\n', at)) != std::string::npos; at = end2 + 1) {
    lines.push_back(text.substr(at, end2 - at));
  }
  return lines;
}

// GitHub shows ten errors and ten warnings of a step: the first ten of
// each, errors first, and one notice that counts what it would drop.
TEST(GithubReportTest, AnnotationsKeepToGithubsLimitsAndSayWhatIsMore) {
  std::vector<ScanRecord> records;
  for (int i = 0; i < 12; ++i) records.push_back(Failing("rel/k" + std::to_string(10 + i) + ".exe", 2));
  const std::vector<std::string> lines = Lines(records, {}, Format::kGithub);
  // The workflow-command grammar: "::command properties::message", the
  // properties "name=value" joined by ",", nothing that ends a line.
  const std::regex command(R"(^::(error|warning|notice) ((file|title)=[^,:]*)(,title=[^,:]*)?::[^\r\n]*$)");
  std::vector<std::string> kinds;
  for (const std::string& line : lines) {
    if (line.rfind("::", 0) != 0) continue;
    EXPECT_TRUE(std::regex_match(line, command)) << line;
    kinds.push_back(line.substr(2, line.find(' ') - 2));
  }
  std::vector<std::string> expected(10, "error");
  expected.insert(expected.end(), 10, "warning");
  expected.push_back("notice");
  EXPECT_EQ(kinds, expected);
  EXPECT_NE(lines[20].find("::2 more errors and 14 more warnings than GitHub shows here (10 of each)"),
            std::string::npos)
      << lines[20];
  EXPECT_EQ(lines.size(), 22u);  // and the summary line

  // Fewer than the limit: no notice; a lower limit, as configured.
  EXPECT_EQ(Lines({Failing("a.exe", 1)}, {}, Format::kGithub).size(), 3u);
  ReportStyle three;
  three.annotations = 3;
  EXPECT_EQ(Lines(records, three, Format::kGithub).size(), 3u + 3u + 1u + 1u);
}

// GitHub links an annotation to a file of the checkout by its path
// relative to the workspace.
TEST(GithubReportTest, PathsUnderTheWorkspaceAreRelative) {
  GithubView view;
  view.workspace = "/ws";
  view.currentFolder = "/ws/sub";
  const std::tuple<const char*, const char*> rows[] = {
      {"/ws/rel/a.exe", "rel/a.exe"}, {"rel/b.exe", "sub/rel/b.exe"}, {"../other/c.exe", "other/c.exe"},
      {"/elsewhere/d.exe", "/elsewhere/d.exe"}, {"/wsx/e.exe", "/wsx/e.exe"}, {"new\nline.exe", "\"new\\nline.exe\""},
  };
  for (const auto& [path, file] : rows) EXPECT_EQ(GithubFile(path, view), file) << path;
  EXPECT_EQ(GithubFile("/ws/rel/a.exe", {}), "/ws/rel/a.exe");
}

// In GitHub's log the components that passed fold into a group; failures
// stay in view.
TEST(GithubReportTest, TheTextLogFoldsWhatPassed) {
  ScanRecord passed;
  passed.path = "ok.exe";
  passed.outcome = gate::Outcome::kPassed;
  ReportStyle style;
  style.github.actions = true;
  const std::vector<std::string> lines = Lines({Failing("bad.exe", 0), passed}, style, Format::kText);
  ASSERT_EQ(lines.size(), 8u);
  EXPECT_EQ(lines[1].rfind("invalid", 0), 0u);
  EXPECT_EQ(lines[3], "::group::1 component passed or filtered out");
  EXPECT_EQ(lines[4].rfind("passed", 0), 0u);
  EXPECT_EQ(lines[5], "::endgroup::");
}

}  // namespace
}  // namespace packprobe::report
