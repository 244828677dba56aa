#include "gate/shares.h"

#include <map>

namespace packprobe::gate {
namespace {

std::string ShareName(const std::optional<Shard>& shard) {
  return shard ? "share " + ShardText(*shard) : "unsharded";
}

}  // namespace

std::string CheckShares(const std::vector<ShareReport>& reports) {
  if (reports.empty()) return "no reports to merge";
  const ShareReport& first = reports.front();
  for (const ShareReport& report : reports) {
    if (report.settingsKey != first.settingsKey) {
      return report.name + " was made with other options than " + first.name +
             " (all shards of one scan name the same paths, ranges, policy and manifest)";
    }
  }
  const std::optional<Shard>& share = first.shard;
  const std::uint32_t count = share ? share->count : 1;
  std::map<std::uint32_t, const ShareReport*> byIndex;
  for (const ShareReport& report : reports) {
    const std::optional<Shard>& own = report.shard;
    if (own.has_value() != share.has_value() || (own && own->count != count)) {
      return report.name + " is " + ShareName(own) + ", " + first.name + " " + ShareName(share) +
             ": not shares of one split";
    }
    const auto [it, inserted] = byIndex.emplace(own ? own->index : 0, &report);
    if (!inserted) return report.name + " and " + it->second->name + " are both " + ShareName(own);
  }
  if (byIndex.size() == count) return {};
  // Name the first few missing shares; the count says the rest, so that a
  // split into billions is told at once.
  const std::uint64_t absent = count - byIndex.size();
  std::string missing;
  std::size_t shown = 0;
  for (std::uint32_t k = 0; k < count && shown < 10; ++k) {
    if (byIndex.count(k) != 0) continue;
    missing += (shown++ == 0 ? "" : ", ") + std::to_string(k);
  }
  if (absent > shown) missing += ", ...";
  return std::string(absent == 1 ? "share " : "shares ") + missing + " of " + std::to_string(count) +
         (absent == 1 ? " is" : " are") + " missing (" + std::to_string(absent) + " of " +
         std::to_string(count) + ")";
}

std::string CheckFoundAgree(const std::vector<std::string>& names, const std::vector<FoundPaths>& found) {
  for (std::size_t i = 1; i < found.size(); ++i) {
    if (found[i] == found[0]) continue;
    return names[i] + " found " + std::to_string(found[i].count) + " paths before sharding, " +
           names[0] + " " + std::to_string(found[0].count) +
           (found[i].count == found[0].count ? " (other paths)" : "") +
           ": the shards did not search the same tree (a missing or different folder?)";
  }
  return {};
}

bool InShare(const std::string& relativePath, const std::optional<Shard>& shard) {
  return !shard || ShareOf(relativePath, shard->count) == shard->index;
}

}  // namespace packprobe::gate
