// A release manifest made from the records of a run: only a release it can
// vouch for, whole.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "gate/manifest_check.h"
#include "gate/record.h"

namespace packprobe::release {

class SnapshotBuilder {
 public:
  // Takes one record as its check found it. A component that could not be
  // inspected, or whose path is not UTF-8 (a manifest is UTF-8 JSON: its
  // name could only be written with its odd bytes replaced, keying some
  // other file), fails the snapshot; two components with one manifest path
  // clash. Each problem is one message.
  void Add(const gate::ScanRecord& record);

  bool failed() const { return failed_; }
  bool clash() const { return clash_; }
  const std::vector<std::string>& problems() const { return problems_; }
  // Paths that only letter case tells apart, which a checkout on a system
  // that ignores case could not hold: one message each.
  std::vector<std::string> CaseCollisions() const;

  // The entries, sorted by path.
  std::vector<gate::ManifestEntry> Finish();

 private:
  std::vector<gate::ManifestEntry> entries_;
  std::map<std::string, std::string> owners_;  // manifest path -> the component's path
  std::vector<std::string> problems_;
  bool failed_ = false;
  bool clash_ = false;
};

}  // namespace packprobe::release
