#include "gate/check.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <system_error>
#include <thread>

#include "component/process_settings.h"
#include "platform/process.h"

namespace packprobe::gate {

ScanRecord CheckTarget(const Target& target, const CheckOptions& check) {
  const auto start = std::chrono::steady_clock::now();
  ScanRecord record;
  try {
    if (target.searchCode == "folder-loop") {
      // Not a component but a folder met again: as PACKPROBE refuses a
      // folder named as a component.
      record = SearchRecord(target.display, target.relative, kStatusInvalid, target.searchCode,
                            target.searchDetail);
    } else if (!target.searchCode.empty()) {
      record = SearchRecord(target.display, target.relative, kStatusSystemError, target.searchCode,
                            target.searchDetail);
    } else {
      const std::u16string path = PathToUtf16(target.native);
      InspectionOptions options;
      options.digest = check.hash;
      options.trust = check.trust;
      options.now = check.now;
      const auto info = std::make_unique<ComponentInfo>(&path, options);
      record = FoundRecord(target.display, target.relative, *info, check.hash);
      // A link or a special file explains a missing or refused component
      // better than the check can.
      if (record.reason && (record.reason->code == "component-missing" ||
                            record.reason->code == "not-regular-file")) {
        const EntryReason entry = DescribeEntry(std::filesystem::path(target.native));
        if (!entry.code.empty()) {
          record.reason->code = entry.code;
          record.reason->detail = entry.detail;
        }
      }
    }
  } catch (const std::exception& e) {
    // Running out of memory is the failure expected here; like PACKPROBE,
    // the component is then a system error rather than the end of the run.
    record = CheckFailedRecord(target.display, target.relative,
                               std::string("the check could not run: ") + e.what());
  }
  record.elapsedMs = RoundedMilliseconds(
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
  return record;
}

void CheckAll(const std::vector<Target>& targets, unsigned jobs,
              const std::function<bool(ScanRecord&&)>& emit,
              const std::function<void(unsigned running, unsigned wanted)>& onThreads,
              const CheckOptions& options) {
  // The locale and the default file mode are set once, here, before any
  // thread loads a metadata file.
  SettleProcessSettings();
  RunPool(
      targets.size(), jobs, [&](std::size_t index) { return CheckTarget(targets[index], options); },
      emit, onThreads);
}

void RunPool(std::size_t count, unsigned jobs,
             const std::function<ScanRecord(std::size_t index)>& check,
             const std::function<bool(ScanRecord&&)>& emit,
             const std::function<void(unsigned running, unsigned wanted)>& onThreads) {
  if (jobs < 1) jobs = 1;
  if (jobs > count) jobs = static_cast<unsigned>(std::max<std::size_t>(count, 1));

  const auto checkAlone = [&] {
    for (std::size_t index = 0; index < count; ++index) {
      if (platform::TerminationRequested() || !emit(check(index))) return;
    }
  };
  if (jobs == 1) {
    checkAlone();
    return;
  }

  // Workers take targets in order but run at most `window` ahead of the
  // next record to emit; finished records wait in a ring of that size.
  const std::size_t window = 4 * static_cast<std::size_t>(jobs);
  std::vector<std::optional<ScanRecord>> ring(window);
  std::mutex mutex;
  std::condition_variable workerWake;
  std::condition_variable emitterWake;
  std::size_t nextToTake = 0;
  std::size_t nextToEmit = 0;
  bool outOfMemory = false;  // a worker could not make a record
  unsigned allowed = jobs;    // workers numbered from this one on stop

  auto worker = [&](unsigned id) {
    for (;;) {
      std::size_t index;
      {
        std::unique_lock lock(mutex);
        workerWake.wait(lock, [&] {
          return id >= allowed || nextToTake >= count || nextToTake < nextToEmit + window;
        });
        if (id >= allowed || nextToTake >= count) return;
        // A termination removes the work directories; none is started
        // after it.
        if (platform::TerminationRequested()) return;
        index = nextToTake++;
      }
      // A check that cannot even make its record (no memory) must not
      // end the process from this thread: the emitter learns of it and
      // ends the scan.
      std::optional<ScanRecord> record;
      try {
        record.emplace(check(index));
      } catch (...) {
      }
      {
        std::lock_guard lock(mutex);
        if (record) {
          ring[index % window] = std::move(*record);
        } else {
          outOfMemory = true;
        }
      }
      emitterWake.notify_one();
    }
  };

  std::vector<std::thread> threads;
  threads.reserve(jobs);
  // If emit throws, the workers are told to stop, joined, and the exception
  // goes on; no thread outlives this function.
  const auto stopWorkers = [&] {
    {
      std::lock_guard lock(mutex);
      nextToTake = count;
    }
    workerWake.notify_all();
    for (std::thread& thread : threads) thread.join();
  };
  try {
    for (unsigned i = 0; i < jobs; ++i) {
      try {
        threads.emplace_back(worker, i);
      } catch (const std::exception&) {
        // No more threads (a process limit, no address space for a stack):
        // fewer do the work.
        break;
      }
    }
    if (threads.size() < jobs) {
      // The system's limit is reached, and the checks of the threads that
      // did start need memory too: half of them go again, and their stacks
      // with them, so that the rest can finish the scan.
      const std::size_t keep = std::max<std::size_t>(threads.size() / 2, 1);
      {
        std::lock_guard lock(mutex);
        allowed = static_cast<unsigned>(keep);
      }
      workerWake.notify_all();
      for (std::size_t i = keep; i < threads.size(); ++i) threads[i].join();
      if (threads.size() > keep) threads.resize(keep);
      if (onThreads) onThreads(static_cast<unsigned>(threads.size()), jobs);
    }
    if (threads.empty()) {
      checkAlone();
      return;
    }
    while (nextToEmit < count) {
      if (platform::TerminationRequested()) {
        stopWorkers();
        return;
      }
      ScanRecord record;
      {
        std::unique_lock lock(mutex);
        emitterWake.wait(lock,
                         [&] { return outOfMemory || ring[nextToEmit % window].has_value(); });
        if (outOfMemory) throw std::bad_alloc();
        record = std::move(*ring[nextToEmit % window]);
        ring[nextToEmit % window].reset();
        ++nextToEmit;
      }
      workerWake.notify_all();
      if (!emit(std::move(record))) {
        stopWorkers();
        return;
      }
    }
  } catch (...) {
    stopWorkers();
    throw;
  }
  for (std::thread& thread : threads) thread.join();
}

}  // namespace packprobe::gate
