#include "scan/outputs.h"

#include <cstdio>


#include "platform/stdio_file.h"
#include "scan/host.h"
#include "scan/targets.h"

namespace packprobe::scan {
namespace fs = std::filesystem;

bool ExtraOutputs::Open(std::string& error) {
  for (const auto& [format, name] : options_.also) {
    Extra extra;
    extra.name = name;
    extra.file = std::make_unique<platform::ReplacingOutput>();
    if (!extra.file->Open(PathFromUtf8(name).native(), error)) {
      error = "cannot write \"" + name + "\": " + error;
      return false;
    }
    extra.report = MakeReport(format, options_, extra.file->stream());
    extras_.push_back(std::move(extra));
  }
  if (!options_.summary.empty()) summary_.emplace(options_);
  return true;
}

void ExtraOutputs::Begin() {
  for (Extra& extra : extras_) extra.report->Begin();
}

void ExtraOutputs::Add(const ScanRecord& record) {
  for (Extra& extra : extras_) extra.report->Add(record);
  if (summary_) summary_->Add(record);
}

void ExtraOutputs::End(const ScanSummary& summary) {
  for (Extra& extra : extras_) extra.report->End(summary);
  if (summary_) summaryText_ = summary_->Text(summary);
}

bool ExtraOutputs::Finish(std::string& error) {
  bool ok = true;
  for (Extra& extra : extras_) {
    std::string why;
    if (!extra.report->Flush()) {
      why = extra.report->error();
    } else if (!extra.file->Commit(why)) {
      why = "it could not be put in place: " + why;
    } else {
      continue;
    }
    if (ok) error = "the report \"" + extra.name + "\" is not whole and was not kept: " + why;
    ok = false;
  }
  if (summary_) {
    std::FILE* file =
        platform::OpenStreamForAppending(PathToUtf16(PathFromUtf8(options_.summary).native()))
            .release();
    bool written = file != nullptr &&
                   std::fwrite(summaryText_.data(), 1, summaryText_.size(), file) == summaryText_.size();
    if (file != nullptr) written = std::fclose(file) == 0 && written;
    if (!written) {
      if (ok) error = "the summary \"" + options_.summary + "\" could not be written";
      ok = false;
    }
  }
  return ok;
}

std::string CheckDistinctOutputs(const ScanOptions& options) {
  std::vector<std::string> names;
  if (!options.output.empty()) names.push_back(options.output);
  for (const auto& also : options.also) names.push_back(also.second);
  if (!options.summary.empty()) names.push_back(options.summary);
  for (std::size_t i = 0; i < names.size(); ++i) {
    for (std::size_t j = i + 1; j < names.size(); ++j) {
      if (PathFromUtf8(names[i]).lexically_normal() == PathFromUtf8(names[j]).lexically_normal()) {
        return "\"" + names[i] + "\" is named as two outputs";
      }
    }
  }
  return {};
}

}  // namespace packprobe::scan
