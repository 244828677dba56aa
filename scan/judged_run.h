// The one road from found records to written reports, which a scan and a
// merge of its shards both take: each record, in path order, passes the
// run's judgement (gate/judgement.h) and goes to every output of the run.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "gate/judgement.h"
#include "report/report.h"
#include "report/summary.h"
#include "scan/command_line.h"
#include "scan/outputs.h"

namespace packprobe::scan {

// Whether the run's selection leaves out a manifest entry's path (relative
// to folder), as it would have left out the component there.
std::function<bool(const std::string&)> ExcludedEntries(const gate::Selection& selection, std::string folder);

class JudgedRun {
 public:
  // options and manifest (its entries, or null) must outlive the run;
  // excluded tells whether an absent manifest entry's path is one the run
  // leaves out.
  JudgedRun(const ScanOptions& options, report::RunHeader header,
            const std::vector<gate::ManifestEntry>* manifest, OutputFiles& files,
            std::function<bool(const std::string&)> excluded = {});

  // Opens every output and begins every report; false after saying why
  // (exit code 74). hold: standard output gets the report only once it is
  // whole (a merge, which may still find its inputs wrong).
  bool Open(bool hold = false);

  // Judges one record as its check found it and writes it everywhere. False
  // once the main report failed: the run should stop.
  bool Add(gate::ScanRecord&& record);
  // Passes the main report on to the system; false when it failed.
  bool Flush();

  // After the last record: the manifest's absent entries, the closing
  // records and summaries, and every output put in place. The run's exit
  // code, or 74 when an output could not be written (after saying why).
  // found: the paths found before sharding.
  // excluded: the paths the selection left out.
  int Finish(const gate::FoundPaths& found, std::size_t excluded, double seconds);

  const gate::Totals& totals() const { return judge_.totals(); }
  std::vector<gate::PolicyJudge::WaiverUse> waiverUses() const { return judge_.waiverUses(); }

 private:
  void Write(const gate::ScanRecord& record);

  const ScanOptions& options_;
  report::RunHeader header_;
  OutputFiles& files_;
  gate::RunJudge judge_;
  std::unique_ptr<report::Report> main_;
  std::vector<std::unique_ptr<report::Report>> extras_;
  std::optional<report::MarkdownSummary> summary_;
};

}  // namespace packprobe::scan
