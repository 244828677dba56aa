// Checks many components on several threads and hands the records, as the
// checks found them, over in the order of the targets, whatever the number
// of threads.
#pragma once

#include <cstddef>
#include <functional>
#include <vector>

#include "gate/record.h"
#include "gate/targets.h"

namespace packprobe::gate {

// Checks one target: inspects the component and gives what it found, not
// yet judged. Never throws: a check that cannot run gives a record that
// says so. The record gets the file's size, and its SHA-256 when hash is
// set, both from the file the check read.
ScanRecord CheckTarget(const Target& target, bool hash = false);

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
              bool hash = false);

// The pool under CheckAll: runs check(0) to check(count - 1) on `jobs`
// threads and calls emit with the records in index order, on the calling
// thread, as CheckAll describes. check must not throw.
void RunPool(std::size_t count, unsigned jobs,
             const std::function<ScanRecord(std::size_t index)>& check,
             const std::function<bool(ScanRecord&&)>& emit,
             const std::function<void(unsigned running, unsigned wanted)>& onThreads = {});

}  // namespace packprobe::gate
