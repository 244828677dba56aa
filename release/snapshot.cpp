#include "release/snapshot.h"

#include "gate/judgement.h"

#include <algorithm>

#include "util/ascii.h"
#include "util/shown_text.h"
#include "util/text.h"

namespace packprobe::release {

void SnapshotBuilder::Add(const gate::ScanRecord& record) {
  if (record.reason || !record.inspected || !record.sha256) {
    failed_ = true;
    problems_.push_back(ShownPath(record.path) + ": " +
                        (record.reason ? std::string(gate::OutcomeName(gate::FailureOutcome(record.status, record.reason->code))) +
                                             ": " + record.reason->code + ": " + record.reason->detail
                                       : std::string("it could not be inspected and hashed")));
    return;
  }
  if (!Utf8ToUtf16Strict(record.relativePath)) {
    failed_ = true;
    problems_.push_back(ShownPath(record.path) + ": its path is not valid UTF-8, which a manifest cannot hold exactly");
    return;
  }
  const auto [owner, inserted] = owners_.emplace(record.relativePath, record.path);
  if (!inserted) {
    clash_ = true;
    problems_.push_back(ShownPath(record.path) + " and " + ShownPath(owner->second) + " share the manifest path \"" +
                        record.relativePath + "\"; snapshot them separately");
    return;
  }
  entries_.push_back(gate::EntryOfRecord(record));
}

std::vector<std::string> SnapshotBuilder::CaseCollisions() const {
  std::map<std::string, std::string> folded;
  std::vector<std::string> messages;
  for (const auto& [path, component] : owners_) {
    std::string key = path;
    std::transform(key.begin(), key.end(), key.begin(), [](char c) { return AsciiToLower(c); });
    const auto [first, inserted] = folded.emplace(key, path);
    if (!inserted) {
      messages.push_back("\"" + first->second + "\" and \"" + path +
                         "\" differ only in letter case: a checkout on a system that ignores case holds one of them");
    }
  }
  return messages;
}

std::vector<gate::ManifestEntry> SnapshotBuilder::Finish() {
  std::sort(entries_.begin(), entries_.end(),
            [](const gate::ManifestEntry& a, const gate::ManifestEntry& b) { return a.path < b.path; });
  return std::move(entries_);
}

}  // namespace packprobe::release
