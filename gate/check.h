// Checks many components on several threads and hands the records, as the
// checks found them, over in the order of the targets, whatever the number
// of threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "gate/record.h"
#include "gate/targets.h"

namespace packprobe::gate {

// What every check of a run takes beyond its target.
struct CheckOptions {
  bool hash = false;  // the record gets its file's SHA-256
  // The trust that signatures are checked against; null: none are checked.
  const crypto::TrustSettings* trust = nullptr;
  std::int64_t now = 0;  // seconds since 1970 (UTC): when certificates are judged without a timestamp
};

// Checks one target: inspects the component and gives what it found, not
// yet judged. Never throws: a check that cannot run gives a record that
// says so. The record gets the file's size, its SHA-256 when asked, and
// the signatures when a trust is given, all from the file the check read.
ScanRecord CheckTarget(const Target& target, const CheckOptions& options = {});

// Checks every target on `jobs` threads and calls emit with each record in
// the targets' order, on the calling thread, until emit returns false: then
// no further check starts, and the checks running are waited for. At most a few records per job
// wait to be emitted at any time, so memory does not grow with the number
// of targets. Settles the process-wide settings of metadata reads first.
//
// Threads that cannot be started are done without: the checks go on with
// fewer (half of those that started, so that their checks find memory; on
// the calling thread alone when none starts), and onThreads, when given,
// learns how many of how many wanted run. Once a termination was
// requested (platform/process.h), no further check starts.
void CheckAll(const std::vector<Target>& targets, unsigned jobs,
              const std::function<bool(ScanRecord&&)>& emit,
              const std::function<void(unsigned running, unsigned wanted)>& onThreads = {},
              const CheckOptions& options = {});

// The pool under CheckAll: runs check(0) to check(count - 1) on `jobs`
// threads and calls emit with the records in index order, on the calling
// thread, as CheckAll describes. check must not throw.
void RunPool(std::size_t count, unsigned jobs,
             const std::function<ScanRecord(std::size_t index)>& check,
             const std::function<bool(ScanRecord&&)>& emit,
             const std::function<void(unsigned running, unsigned wanted)>& onThreads = {});

}  // namespace packprobe::gate
