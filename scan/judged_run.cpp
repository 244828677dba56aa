#include "scan/judged_run.h"

#include "gate/exit_codes.h"
#include "gate/targets.h"

namespace packprobe::scan {

std::function<bool(const std::string&)> ExcludedEntries(const gate::Selection& selection, std::string folder) {
  const std::string current = gate::AbsoluteGeneric(".");
  return [patterns = gate::Resolved(selection.exclude, current), current,
          folder = std::move(folder)](const std::string& path) {
    const std::string absolute = folder.empty() ? std::string() : gate::JoinedPath(current, folder + "/" + path);
    return gate::Excluded(patterns, path, absolute);
  };
}

JudgedRun::JudgedRun(const ScanOptions& options, report::RunHeader header,
                     const std::vector<gate::ManifestEntry>* manifest, OutputFiles& files,
                     std::function<bool(const std::string&)> excluded)
    : options_(options),
      header_(std::move(header)),
      files_(files),
      judge_(header_.settings, manifest, std::move(excluded),
             gate::JudgeContext{header_.date, gate::AbsoluteGeneric(".")}) {}

bool JudgedRun::Open(bool hold) {
  const OutputOptions& out = options_.out;
  if (!files_.OpenMain(out.output, hold)) return false;
  report::ReportStyle style{out.quiet, out.colorText, out.github, out.annotations};
  // Groups fold lines of GitHub's log: only in what goes to the log.
  style.github.actions = out.github.actions && out.output.empty();
  main_ = report::MakeReport(out.format, style, files_.main());
  style.github.actions = false;
  for (const auto& [format, path] : out.also) {
    std::FILE* stream = files_.OpenExtra(path);
    if (stream == nullptr) return false;
    extras_.push_back(report::MakeReport(format, report::ReportStyle{false, false, style.github, out.annotations}, stream));
  }
  if (!out.summary.empty()) {
    files_.SetSummary(out.summary);
    summary_.emplace();
  }
  main_->Begin(header_);
  for (const auto& extra : extras_) extra->Begin(header_);
  if (summary_) summary_->Begin(header_);
  return true;
}

void JudgedRun::Write(const gate::ScanRecord& record) {
  main_->Add(record);
  for (const auto& extra : extras_) extra->Add(record);
  if (summary_) summary_->Add(record);
}

bool JudgedRun::Add(gate::ScanRecord&& record) {
  if (!main_->ok()) return false;
  judge_.Judge(record);
  Write(record);
  return main_->ok();
}

bool JudgedRun::Flush() { return main_->Flush(); }

int JudgedRun::Finish(const gate::FoundPaths& found, std::size_t excluded, double seconds) {
  if (main_->ok()) {
    judge_.Finish(found.count, header_.folder, [&](gate::ScanRecord&& record) { Write(record); });
  }
  const report::RunEnd end{judge_.totals(), judge_.exitCode(), found, seconds, judge_.runWarnings(), excluded};
  if (main_->ok()) main_->End(end);
  for (const auto& extra : extras_) extra->End(end);
  if (!main_->Flush()) {
    files_.SayNotWhole(main_->error());
    return gate::kScanOutputError;
  }
  for (std::size_t i = 0; i < extras_.size(); ++i) {
    if (!extras_[i]->Flush()) {
      files_.Say("the report \"" + options_.out.also[i].second + "\" is not whole and was not kept: " +
                 extras_[i]->error());
      return gate::kScanOutputError;
    }
  }
  if (!files_.Commit(summary_ ? summary_->Text(end) : std::string())) return gate::kScanOutputError;
  return judge_.exitCode();
}

}  // namespace packprobe::scan
