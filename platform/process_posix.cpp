// Termination clean-up on POSIX.
//
// The handler removes the live work directories itself, with only
// async-signal-safe calls, and then re-raises the signal. The registry it
// walks is a fixed array of slots, each with an atomic state and the
// directory's path already converted to the system's bytes, so that the
// handler neither allocates nor locks and may run on any thread while
// other threads register or release directories:
// - a slot is claimed (free -> writing) by compare-and-swap, filled, then
//   published (-> live); the handler reads only live slots;
// - its owner removes the directory and only then frees the slot, so a
//   signal in between finds the directory gone or removes it again;
// - the four signals are blocked in the creating thread from the moment the
//   directory is made until it is published, so no signal can leave an
//   unregistered directory behind on that thread. A signal handled on
//   another thread in that window can: the window is two system calls.
#include <pthread.h>
#include <signal.h>
#include <string.h>

#include <atomic>

#include "platform/process.h"
#include "platform/remove_tree.h"

namespace packprobe::platform {
namespace {

constexpr int kSlots = 64;
constexpr std::size_t kPathCapacity = 4096;  // PATH_MAX on Linux, terminator included

enum SlotState : int { kFree, kWriting, kLive };

struct Slot {
  std::atomic<int> state{kFree};
  char path[kPathCapacity];
};

Slot slots[kSlots];

constexpr int kCleanedSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

extern "C" void OnTerminationSignal(int signal) {
  for (Slot& slot : slots) {
    if (slot.state.load(std::memory_order_acquire) == kLive) RemoveTreeSignalSafe(slot.path);
  }
  // End as the signal would have ended the process: default action, raised
  // again and let through.
  struct sigaction defaultAction {};
  defaultAction.sa_handler = SIG_DFL;
  sigemptyset(&defaultAction.sa_mask);
  sigaction(signal, &defaultAction, nullptr);
  sigset_t unblock;
  sigemptyset(&unblock);
  sigaddset(&unblock, signal);
  pthread_sigmask(SIG_UNBLOCK, &unblock, nullptr);
  raise(signal);
}

}  // namespace

void PrepareProcess() {
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGPIPE, &ignore, nullptr);
  sigaction(SIGXFSZ, &ignore, nullptr);

  struct sigaction cleanup {};
  cleanup.sa_handler = OnTerminationSignal;
  sigemptyset(&cleanup.sa_mask);
  // While one of them is being handled the others wait: one clean-up at a
  // time per thread.
  for (const int signal : kCleanedSignals) sigaddset(&cleanup.sa_mask, signal);
  for (const int signal : kCleanedSignals) {
    struct sigaction previous {};
    // A signal that the caller's parent ignores (nohup, a shell's
    // background job) stays ignored.
    if (sigaction(signal, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN) continue;
    sigaction(signal, &cleanup, nullptr);
  }
}

int RegisterLiveDirectory(const NativePath& path) {
  if (path.size() >= kPathCapacity) return -1;
  for (int i = 0; i < kSlots; ++i) {
    int expected = kFree;
    if (!slots[i].state.compare_exchange_strong(expected, kWriting, std::memory_order_acq_rel)) {
      continue;
    }
    memcpy(slots[i].path, path.c_str(), path.size() + 1);
    slots[i].state.store(kLive, std::memory_order_release);
    return i;
  }
  return -1;
}

void UnregisterLiveDirectory(int slot) {
  if (slot >= 0 && slot < kSlots) slots[slot].state.store(kFree, std::memory_order_release);
}

bool TerminationRequested() { return false; }

}  // namespace packprobe::platform
