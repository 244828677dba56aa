// The CSV report (RFC 4180): one row per component, every field of the
// record, for spreadsheets and scripts.
#include <cstdio>
#include <type_traits>

#include "report/escape.h"
#include "report/report.h"
#include "util/shown_text.h"

namespace packprobe::report {
namespace {

template <typename T>
std::string CsvValue(const std::optional<T>& value) {
  if (!value) return "";
  if constexpr (std::is_same_v<T, bool>) {
    return *value ? "true" : "false";
  } else if constexpr (std::is_same_v<T, std::string>) {
    return *value;
  } else {
    return std::to_string(*value);
  }
}

std::string Milliseconds(double ms) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", ms);
  return text;
}

class CsvReport : public Report {
 public:
  explicit CsvReport(std::FILE* out) : Report(out) {}
  void Begin(const RunHeader&) override {
    Write("path,file,outcome,exit_code,status,stub.text,stub.version,stub.display,stub.in_range,"
          "setup.present,setup.text,setup.version,setup.display,setup.in_range,name,category,type,"
          "reason.code,reason.step,reason.detail,warnings,elapsed_ms,relative_path,size,sha256,waived,"
          "signature,signer,signer_sha256,signing_time,"
          "setup.signature,setup.signer,setup.signer_sha256,setup.signing_time\r\n");
  }
  void Add(const ScanRecord& r) override {
    std::string warnings;
    for (const gate::Warning& warning : r.warnings) {
      if (warning.ignored) continue;
      if (!warnings.empty()) warnings += "; ";
      warnings += warning.code + ": " + warning.detail + (warning.waived.empty() ? "" : " (waived: " + warning.waived + ")");
    }
    const SignerColumns stub = r.signature ? SignerOf(*r.signature) : SignerColumns{};
    const SignerColumns setup = r.setupSignature ? SignerOf(*r.setupSignature) : SignerColumns{};
    const std::string fields[] = {
        ShownPath(r.path), r.file, std::string(gate::OutcomeName(r.outcome)), std::to_string(r.exitCode),
        std::to_string(r.status), CsvValue(r.stub.text), CsvValue(r.stub.version),
        CsvValue(r.stub.display), CsvValue(r.stub.inRange), CsvValue(r.setupPresent),
        CsvValue(r.setup.text), CsvValue(r.setup.version), CsvValue(r.setup.display),
        CsvValue(r.setup.inRange), r.name, CsvValue(r.category), CsvValue(r.type),
        r.reason ? r.reason->code : "", r.reason ? r.reason->step : "",
        r.reason ? r.reason->detail : "", warnings, Milliseconds(r.elapsedMs), r.relativePath,
        CsvValue(r.size), CsvValue(r.sha256), r.waived ? WaivedText(*r.waived) : std::string(),
        r.signature ? std::string(crypto::SignatureStateName(r.signature->state)) : "", stub.subject,
        stub.fingerprint, stub.signingTime,
        r.setupSignature ? std::string(crypto::SignatureStateName(r.setupSignature->state)) : "",
        setup.subject, setup.fingerprint, setup.signingTime};
    std::string line;
    for (const std::string& field : fields) {
      if (&field != &fields[0]) line += ',';
      line += CsvField(field);
    }
    Write(line + "\r\n");
  }
  void End(const RunEnd&) override {}
};

}  // namespace

std::unique_ptr<Report> MakeCsvReport(std::FILE* out) { return std::make_unique<CsvReport>(out); }

}  // namespace packprobe::report
