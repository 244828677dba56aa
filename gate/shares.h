// Whether the reports of shards make one whole run: the same settings, the
// shares 0..N-1 of one N each once, the same tree found. Pure: the reports
// are read elsewhere.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "gate/judgement.h"
#include "gate/shard.h"

namespace packprobe::gate {

struct ShareReport {
  std::string name;  // the file it came from
  // The report's settings other than its share and jobs, as one text:
  // shares of one run state the same.
  std::string settingsKey;
  std::optional<Shard> shard;  // none: an unsharded report
};

// Why the reports are not the shares of one run, naming them; empty when
// they are: one unsharded report, or every share K/N of one N once.
std::string CheckShares(const std::vector<ShareReport>& reports);

// Why the closing records of shares disagree about the tree they searched
// (another folder, a download that failed, an empty folder), naming them;
// empty when they agree.
std::string CheckFoundAgree(const std::vector<std::string>& names, const std::vector<FoundPaths>& found);

// Whether a record's relative path belongs to the share.
bool InShare(const std::string& relativePath, const std::optional<Shard>& shard);

}  // namespace packprobe::gate
