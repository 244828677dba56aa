#include "scan/outputs.h"

#include <atomic>
#include <chrono>
#include <system_error>

#include "scan/host.h"
#include "scan/targets.h"

namespace packprobe::scan {
namespace fs = std::filesystem;

ReportFile::~ReportFile() { Discard(); }

bool ReportFile::Open(const fs::path& target) {
  // A name no other writer of the same folder uses: the clock and a
  // counter, as no process id is to be had without the platform.
  static std::atomic<unsigned> counter{0};
  const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
  target_ = target;
  temporary_ = target;
  temporary_ += ".part-" + std::to_string(now) + "-" + std::to_string(counter++);
  stream_ = OpenOutputFile(temporary_);
  if (stream_ == nullptr) temporary_.clear();
  return stream_ != nullptr;
}

bool ReportFile::Commit() {
  if (stream_ == nullptr) return false;
  const bool closed = std::fclose(stream_) == 0;
  stream_ = nullptr;
  std::error_code error;
  if (closed) fs::rename(temporary_, target_, error);
  if (!closed || error) {
    Discard();
    return false;
  }
  temporary_.clear();
  return true;
}

void ReportFile::Discard() {
  if (stream_ != nullptr) std::fclose(stream_);
  stream_ = nullptr;
  if (!temporary_.empty()) {
    std::error_code ignored;
    fs::remove(temporary_, ignored);
    temporary_.clear();
  }
}

bool ExtraOutputs::Open(std::string& error) {
  for (const auto& [format, name] : options_.also) {
    Extra extra;
    extra.name = name;
    extra.file = std::make_unique<ReportFile>();
    if (!extra.file->Open(PathFromUtf8(name))) {
      error = "cannot write \"" + name + "\"";
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
    if (!extra.report->ok() || !extra.file->Commit()) {
      if (ok) error = "the report \"" + extra.name + "\" could not be written completely";
      ok = false;
    }
  }
  if (summary_) {
    std::FILE* file = OpenAppendFile(PathFromUtf8(options_.summary));
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
