#include "report/jsonl_reader.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "report/jsonl.h"
#include "tests/support/scratch_dir.h"

namespace packprobe::report {
namespace {

using gate::Outcome;

ScanRecord Kit(std::string path) {
  ScanRecord r;
  r.path = "rel/" + path;
  r.relativePath = path;
  r.inspected = true;
  r.name = "Kit";
  r.stub = {"VEKStub 3.0.3.0", 3030, "3.0.3.0", {}};
  r.setupPresent = false;
  r.warnings = {{"stub-comments-tail", "odd", false}};
  return r;
}

// A whole report of the records, judged under the header's settings.
std::string ReportText(const RunHeader& header, std::vector<ScanRecord> records) {
  std::FILE* out = std::tmpfile();
  gate::RunJudge judge(header.settings, nullptr);
  {
    const auto report = MakeReport(Format::kJsonl, {}, out);
    report->Begin(header);
    for (ScanRecord& record : records) {
      judge.Judge(record);
      report->Add(record);
    }
    judge.Finish(records.size(), {}, [](ScanRecord&&) {});
    std::vector<std::string> keys;
    for (const ScanRecord& record : records) keys.push_back(record.relativePath);
    report->End({judge.totals(), judge.exitCode(), gate::DescribeFoundPaths(keys), 0.5, judge.runWarnings(), 0});
    report->Flush();
  }
  const std::string text = testsupport::ReadStream(out);
  std::fclose(out);
  return text;
}

// Reads a report's text whole: the records, or the first error.
std::string Read(const std::string& text, std::vector<ScanRecord>* records = nullptr) {
  std::FILE* in = std::tmpfile();
  std::fwrite(text.data(), 1, text.size(), in);
  std::rewind(in);
  ReportReader reader("r.jsonl", in);
  RunHeader header;
  std::string error;
  if (reader.ReadHeader(header, error)) {
    ScanRecord record;
    ReportReader::Next next;
    while ((next = reader.ReadRecord(record, error)) == ReportReader::Next::kRecord) {
      if (records != nullptr) records->push_back(record);
    }
    if (next == ReportReader::Next::kClosed && !reader.AtEnd()) error = "more";
  }
  std::fclose(in);
  return error;
}

std::string Replace(std::string text, const std::string& from, const std::string& to) {
  const std::size_t at = text.find(from);
  if (at == std::string::npos) return "(no \"" + from + "\" in the report)";
  return text.replace(at, from.size(), to);
}

TEST(JsonlReaderTest, RecordsComeBackAsTheirChecksFoundThem) {
  RunHeader header;
  header.settings.selection.paths = {"rel"};
  header.settings.policy.strict = true;
  header.settings.policy.ignore = {"stub-comments-tail"};
  ScanRecord odd = Kit("b\xff\n.exe");  // shown quoted, with its bytes
  odd.relativePath = "b\xff\n.exe";
  const std::vector<ScanRecord> found = {Kit("a.exe"), odd, Kit("c.exe")};
  std::vector<ScanRecord> read;
  EXPECT_EQ(Read(ReportText(header, found), &read), "");
  EXPECT_EQ(read, found);
}

TEST(JsonlReaderTest, WhatIsNoWholeReportIsRefusedWithWhy) {
  RunHeader header;
  header.settings.selection.paths = {"rel"};
  const std::string whole = ReportText(header, {Kit("a.exe"), Kit("b.exe")});
  RunHeader shard = header;
  shard.settings.shard = gate::Shard{1, 2};
  const std::string deep = std::string(200000, '[') + std::string(200000, ']');
  const struct {
    const char* why;
    std::string text;
    const char* error;  // a part of it
  } rows[] = {
      {"empty", "", "empty, not a report"},
      {"cut", whole.substr(0, whole.rfind('\n', whole.size() - 2) + 1), "it is cut"},
      {"torn", whole.substr(0, whole.size() - 5), "is cut"},
      {"another schema", Replace(whole, std::string(kJsonSchema), "packprobe-scan/2"), "packprobe-scan/2"},
      {"a key twice", Replace(whole, "\"name\":\"Kit\"", "\"name\":\"Kit\",\"name\":\"Other\""), "appears twice"},
      {"nested deep", Replace(whole, "\"name\":\"Kit\"", "\"name\":\"Kit\",\"x\":" + deep), "nested deeper"},
      {"a line beyond bound", Replace(whole, "\"name\":\"Kit\"", "\"name\":\"" + std::string(2 << 20, 'k') + "\""),
       "longer than"},
      {"outcome against status", Replace(whole, "\"status\":0", "\"status\":6"), "contradicts"},
      {"a failure without reason", Replace(whole, "\"outcome\":\"passed\"", "\"outcome\":\"invalid\""),
       "without a reason"},
      {"absent without a manifest", Replace(whole, "\"outcome\":\"passed\"", "\"outcome\":\"absent\""),
       "without a manifest"},
      {"out of order", Replace(whole, "rel/b.exe", "rel/0.exe"), "out of path order"},
      {"bytes that are not the path", Replace(whole, "\"path_bytes\":null", "\"path_bytes\":\"eA==\""),
       "not the path shown"},
      {"counts that disagree", Replace(whole, "\"passed\":2", "\"passed\":1"), "the closing record counts"},
      {"an exit code that lies", Replace(whole, "\"exit_code\":0,\"shard\"", "\"exit_code\":2,\"shard\""),
       "is not what its records give"},
      {"K/N/N", Replace(whole, "\"shard\":null,\"jobs\"", "\"shard\":\"0/3/3\",\"jobs\""), "is not K/N"},
      {"a path outside its share", ReportText(shard, {Kit("a.exe"), Kit("b.exe"), Kit("c.exe")}),
       "does not belong to share 1/2"},
      {"after the closing record", whole + whole, "more"},
      {"no closing record but another header", whole.substr(0, whole.rfind('\n', whole.size() - 2) + 1) + whole,
       "neither a record"},
  };
  for (const auto& row : rows) {
    EXPECT_NE(Read(row.text).find(row.error), std::string::npos) << row.why << ": " << Read(row.text);
  }
}

}  // namespace
}  // namespace packprobe::report
