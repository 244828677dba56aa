// Writes records made of arbitrary bytes (paths, names, categories, version
// texts, details) through every report format and checks that each output
// is well-formed and holds exactly one record per component: JSON Lines
// parse line by line, CSV rows have every column, JUnit XML parses, and the
// text report has one line per record.
#include <expat.h>

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "scan/report.h"
#include "scan/scan_options.h"
#include "scan/scan_record.h"

namespace {

using packprobe::scan::Format;
using packprobe::scan::Outcome;
using packprobe::scan::ScanRecord;

constexpr std::size_t kMaxInput = 1 << 16;
constexpr std::size_t kCsvColumns = 25;

void Check(bool condition) {
  if (!condition) std::abort();
}

// The report of one format over the records, as written.
std::string Write(Format format, const std::vector<ScanRecord>& records) {
  packprobe::scan::ScanOptions options;
  options.format = format;
  options.paths = {records.empty() ? std::string() : records.front().path};
  char* buffer = nullptr;
  std::size_t size = 0;
  std::FILE* out = open_memstream(&buffer, &size);
  Check(out != nullptr);
  {
    const auto report = packprobe::scan::MakeReport(options, out);
    packprobe::scan::ScanSummary summary;
    report->Begin();
    for (const ScanRecord& record : records) {
      summary.Count(record);
      report->Add(record);
    }
    report->End(summary);
    Check(report->Flush());
  }
  std::fclose(out);
  std::string text(buffer, size);
  std::free(buffer);
  return text;
}

std::vector<std::string_view> Lines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    Check(end != text.npos);  // every line is ended
    lines.push_back(text.substr(0, end));
    text.remove_prefix(end + 1);
  }
  return lines;
}

void CheckJsonLines(const std::string& text, std::size_t count) {
  const auto lines = Lines(text);
  Check(lines.size() == count + 2);
  std::size_t records = 0;
  for (const std::string_view line : lines) {
    const auto json = nlohmann::json::parse(line, nullptr, false);
    Check(!json.is_discarded() && json.is_object());
    if (json.contains("path")) ++records;
  }
  Check(records == count);
  Check(nlohmann::json::parse(lines.back())["complete"] == true);
}

// RFC 4180: rows of quoted or plain fields, ended by CRLF.
void CheckCsv(const std::string& text, std::size_t count) {
  std::size_t rows = 0;
  std::size_t fields = 1;
  for (std::size_t i = 0; i < text.size();) {
    if (text[i] == '"') {
      for (++i;; ++i) {
        Check(i < text.size());
        if (text[i] == '"') {
          if (i + 1 < text.size() && text[i + 1] == '"') {
            ++i;
            continue;
          }
          ++i;
          break;
        }
      }
    } else {
      while (i < text.size() && text[i] != ',' && text[i] != '\r') {
        Check(text[i] != '\n' && text[i] != '"');
        ++i;
      }
    }
    Check(i < text.size());
    if (text[i] == ',') {
      ++fields;
      ++i;
    } else {
      Check(text.compare(i, 2, "\r\n") == 0);
      Check(fields == kCsvColumns);
      ++rows;
      fields = 1;
      i += 2;
    }
  }
  Check(rows == count + 1);
}

void XMLCALL OnStart(void* data, const XML_Char* name, const XML_Char**) {
  static constexpr char16_t kTestcase[] = u"testcase";
  std::size_t i = 0;
  for (; name[i] != 0 && i < 8; ++i) {
    if (static_cast<char16_t>(name[i]) != kTestcase[i]) return;
  }
  if (i == 8 && name[8] == 0) ++*static_cast<std::size_t*>(data);
}

void CheckJunit(const std::string& text, std::size_t count) {
  XML_Parser parser = XML_ParserCreate(nullptr);
  Check(parser != nullptr);
  std::size_t testcases = 0;
  XML_SetUserData(parser, &testcases);
  XML_SetStartElementHandler(parser, OnStart);
  const bool parsed = XML_Parse(parser, text.data(), static_cast<int>(text.size()), 1) == XML_STATUS_OK;
  XML_ParserFree(parser);
  Check(parsed);
  Check(testcases == count);
}

void CheckText(const std::string& text, std::size_t count) {
  std::size_t rows = 0;
  for (const std::string_view line : Lines(text)) {
    for (const char c : line) Check(static_cast<unsigned char>(c) >= 0x20 && c != 0x7F);
    if (!line.empty() && line.front() != ' ') ++rows;
  }
  Check(rows == count + 2);  // the column header and the summary
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > kMaxInput) return 0;
  // Fields separated by 0x00; each record takes seven.
  std::vector<std::string> fields;
  std::string_view input(reinterpret_cast<const char*>(data), size);
  while (!input.empty() && fields.size() < 7 * 8) {
    const std::size_t end = input.find('\0');
    fields.emplace_back(input.substr(0, end));
    if (end == input.npos) break;
    input.remove_prefix(end + 1);
  }
  std::vector<ScanRecord> records;
  for (std::size_t i = 0; i + 7 <= fields.size(); i += 7) {
    ScanRecord record;
    const std::string& control = fields[i];
    record.outcome = static_cast<Outcome>(control.empty() ? 0 : control[0] % 8);
    record.exitCode = control.size() > 1 ? control[1] % 9 : 0;
    record.path = fields[i + 1];
    record.name = fields[i + 2];
    record.category = fields[i + 3];
    record.stub.text = fields[i + 4];
    record.stub.display = fields[i + 4];
    record.setup.text = fields[i + 5];
    if (record.outcome >= Outcome::kMissing) {
      record.reason = packprobe::scan::Reason{fields[i + 6], "inspection", fields[i + 6], fields[i + 1], 0};
    }
    record.warnings.push_back({"stub-comments-tail", fields[i + 6]});
    record.verdictMessage = fields[i + 6];
    records.push_back(std::move(record));
  }
  CheckJsonLines(Write(Format::kJsonl, records), records.size());
  CheckCsv(Write(Format::kCsv, records), records.size());
  CheckJunit(Write(Format::kJunit, records), records.size());
  CheckText(Write(Format::kText, records), records.size());
  return 0;
}
