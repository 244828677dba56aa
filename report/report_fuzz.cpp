// Writes records made of arbitrary bytes (paths, names, categories, version
// texts, details), with every outcome of the table, through every report
// format and checks that each output is well-formed and holds exactly one
// record per component: JSON Lines parse line by line, CSV rows have every
// column, JUnit XML parses, and the text report has one line per record.
// Then judges the same records as a run would and reads its JSON Lines
// report back: the reader gives every record as its check found it.
#include <expat.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "gate/judgement.h"
#include "report/jsonl_reader.h"
#include "report/report.h"
#include "util/shown_text.h"

namespace {

using packprobe::gate::Outcome;
using packprobe::gate::ScanRecord;
using packprobe::report::Format;

constexpr std::size_t kMaxInput = 1 << 16;
constexpr std::size_t kCsvColumns = 34;

void Check(bool condition) {
  if (!condition) std::abort();
}

// The report of one format over the records, as written.
std::string Write(Format format, const std::vector<ScanRecord>& records, const packprobe::report::RunHeader& header,
                  int exitCode = 0) {
  char* buffer = nullptr;
  std::size_t size = 0;
  std::FILE* out = open_memstream(&buffer, &size);
  Check(out != nullptr);
  {
    const auto report = packprobe::report::MakeReport(format, {}, out);
    packprobe::report::RunEnd end;
    end.exitCode = exitCode;
    end.found.count = records.size();
    report->Begin(header);
    for (const ScanRecord& record : records) {
      end.totals.Count(record);
      report->Add(record);
    }
    report->End(end);
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

// The found records judged as a run judges them, written as JSON Lines and
// read back: each record as its check found it, in order.
void CheckRoundTrip(std::vector<ScanRecord> found, const packprobe::report::RunHeader& header) {
  std::sort(found.begin(), found.end(), [](const ScanRecord& a, const ScanRecord& b) { return a.path < b.path; });
  found.erase(std::unique(found.begin(), found.end(),
                          [](const ScanRecord& a, const ScanRecord& b) { return a.path == b.path; }),
              found.end());
  packprobe::gate::RunJudge judge(header.settings, nullptr);
  std::vector<ScanRecord> judged = found;
  for (ScanRecord& record : judged) judge.Judge(record);
  judge.Finish(judged.size(), {}, [](ScanRecord&&) {});
  std::string text = Write(Format::kJsonl, judged, header, judge.exitCode());
  std::FILE* in = fmemopen(text.data(), text.size(), "rb");
  Check(in != nullptr);
  packprobe::report::ReportReader reader("fuzz", in);
  packprobe::report::RunHeader read;
  std::string error;
  Check(reader.ReadHeader(read, error));
  Check(read == header);
  for (const ScanRecord& expected : found) {
    ScanRecord record;
    Check(reader.ReadRecord(record, error) == packprobe::report::ReportReader::Next::kRecord);
    Check(record == expected);
  }
  ScanRecord none;
  Check(reader.ReadRecord(none, error) == packprobe::report::ReportReader::Next::kClosed);
  std::fclose(in);
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
  packprobe::report::RunHeader header;
  std::vector<ScanRecord> records, found;
  for (std::size_t i = 0; i + 7 <= fields.size(); i += 7) {
    ScanRecord record;
    const std::string& control = fields[i];
    const auto byte = [&](std::size_t at) {
      return control.size() > at ? static_cast<unsigned char>(control[at]) : 0u;
    };
    record.outcome = static_cast<Outcome>(byte(0) % packprobe::gate::kOutcomeCount);
    record.exitCode = static_cast<int>(byte(1) % 9);
    record.path = fields[i + 1];
    record.relativePath = fields[i + 1];
    record.name = fields[i + 2];
    record.category = fields[i + 3];
    record.stub.text = fields[i + 4];
    record.stub.display = fields[i + 4];
    record.setup.text = fields[i + 5];
    if (packprobe::gate::IsFailure(record.outcome)) {
      record.reason = packprobe::gate::Reason{fields[i + 6], "inspection", fields[i + 6], fields[i + 1], 0};
    }
    record.warnings.push_back({"stub-comments-tail", fields[i + 6], (byte(2) & 1) != 0});
    record.verdictMessage = fields[i + 6];
    // Signatures whose names come from the input: subjects are text a
    // signer chose.
    if (byte(11) % 3 != 0) {
      packprobe::crypto::SignatureFacts signature;
      signature.state = static_cast<packprobe::crypto::SignatureState>(byte(11) % 8);
      signature.subject = packprobe::ValidUtf8(fields[i + 2]);
      signature.issuer = packprobe::ValidUtf8(fields[i + 3]);
      signature.problem = packprobe::ValidUtf8(fields[i + 6]);
      signature.fingerprint = std::string(64, "0123456789abcdef"[byte(12) % 16]);
      if (byte(12) & 1) signature.algorithm = packprobe::crypto::DigestAlgorithm::kSha256;
      if (byte(12) & 2) {
        signature.timestamp = packprobe::crypto::TimestampKind::kRfc3161;
        signature.signingTime = static_cast<std::int64_t>(byte(13)) * 86400 * 200;
      }
      signature.chain = static_cast<packprobe::crypto::ChainCheck>(byte(13) % 3);
      signature.pin = static_cast<packprobe::crypto::PinCheck>(byte(14) % 3);
      if (byte(12) & 4) signature.nested.push_back(signature);
      packprobe::gate::SignatureReport report{signature.state, signature.problem, {signature}};
      (byte(11) & 8 ? record.setupSignature : record.signature) = report;
    }
    records.push_back(record);

    // The same bytes as a record a check could have found.
    static constexpr int kStatuses[] = {0, 4, 5, 6};
    // A check gives UTF-8 for everything but the path.
    using packprobe::ValidUtf8;
    ScanRecord facts;
    facts.path = record.path;
    facts.relativePath = fields[i + 1];
    facts.file = ValidUtf8(fields[i + 2]);
    facts.status = kStatuses[byte(3) % 4];
    facts.inspected = facts.status == 0;
    facts.name = ValidUtf8(record.name);
    facts.category = ValidUtf8(*record.category);
    if (byte(4) % 3 != 0) facts.type = byte(4) % 3 == 1 ? "firmware" : "software";
    facts.stub.text = ValidUtf8(fields[i + 4]);
    facts.stub.version = static_cast<std::int32_t>(byte(5) * 40);
    facts.stub.display = ValidUtf8(fields[i + 4]);
    if (byte(6) % 2 == 0) {
      facts.setup.version = static_cast<std::int32_t>(byte(7) * 40);
      facts.setup.display = ValidUtf8(fields[i + 5]);
      facts.setupPresent = true;
    }
    if (facts.status != 0) {
      facts.reason = packprobe::gate::Reason{ValidUtf8(fields[i + 6]), "open-archive", ValidUtf8(fields[i + 3]), {}, 1};
    }
    facts.warnings.push_back({"stub-comments-tail", ValidUtf8(fields[i + 6]), false});
    facts.elapsedMs = packprobe::gate::RoundedMilliseconds(byte(8) / 7.0);
    facts.signature = record.signature;
    facts.setupSignature = record.setupSignature;
    found.push_back(std::move(facts));
  }
  const auto controlByte = [&](std::size_t at) {
    return fields.empty() || fields[0].size() <= at ? 0u : static_cast<unsigned char>(fields[0][at]);
  };
  // Options are text: a path named that is not UTF-8 shows with U+FFFD.
  header.settings.selection.paths = {records.empty() ? std::string("x") : packprobe::ValidUtf8(records.front().path)};
  header.settings.policy.strict = (controlByte(9) & 1) != 0;
  if (controlByte(9) & 2) header.settings.policy.ignore = {"stub-comments-tail"};
  if (controlByte(9) & 4) header.settings.policy.errorOn = {"duplicate-component"};
  header.settings.criteria.stubMin = static_cast<int>(controlByte(10) * 20);
  header.settings.criteria.firmwareOnly = (controlByte(9) & 8) != 0;
  CheckJsonLines(Write(Format::kJsonl, records, header), records.size());
  CheckCsv(Write(Format::kCsv, records, header), records.size());
  CheckJunit(Write(Format::kJunit, records, header), records.size());
  CheckText(Write(Format::kText, records, header), records.size());
  CheckRoundTrip(std::move(found), header);
  return 0;
}
