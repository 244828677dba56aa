// Termination clean-up on POSIX.
//
// The handler removes the live work directories (and registered files)
// itself, with only async-signal-safe calls, and then re-raises the signal.
// The registry it walks is an array of slots, sized before the work starts
// (ReserveLiveDirectories) and never freed, each with an atomic state, the
// path already converted to the system's bytes and, for a directory, a
// descriptor held open since its creation, so that the handler neither
// allocates nor locks nor needs a new descriptor, and may run on any thread
// while other threads register or release directories:
// - a creation first counts itself in flight and gives up when a
//   termination has begun; the handler, having marked the termination,
//   waits until no creation is in flight, so every directory made is
//   registered before the handler walks the slots, and none is made after;
// - a slot is claimed (free -> writing) by compare-and-swap, filled, then
//   published (-> live); the handler claims live slots (-> sweeping) while
//   it removes them and gives them back (-> live);
// - its owner removes the directory, then claims its slot (live -> closing,
//   waiting while the handler sweeps it), closes the descriptor and frees
//   the slot, so the handler never uses a descriptor that was closed;
// - the handler removes each directory until it is gone: a check still
//   running may add a file while the handler empties its directory, but no
//   new check starts.
#include <pthread.h>
#include <signal.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <new>

#include "platform/process.h"
#include "platform/remove_tree.h"

namespace packprobe::platform {
namespace {

constexpr std::size_t kPathCapacity = 4096;  // PATH_MAX on Linux, terminator included
constexpr int kDefaultSlots = 64;

enum SlotState : int { kFree, kWriting, kLive, kSweeping, kClosing };

struct Slot {
  std::atomic<int> state{kFree};
  int descriptor = -1;
  char path[kPathCapacity];
};

struct Registry {
  Slot* slots;
  int count;
};

Slot defaultSlots[kDefaultSlots];
Registry defaultRegistry{defaultSlots, kDefaultSlots};
std::atomic<Registry*> registry{&defaultRegistry};

std::atomic<bool> terminating{false};
std::atomic<int> creationsInFlight{0};
// One handler sweeps; a second signal on another thread waits for it
// rather than end the process halfway. 0: not begun, 1: sweeping, 2: done.
std::atomic<int> sweep{0};

constexpr int kCleanedSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

void SleepBriefly() {
  timespec pause{0, 1000000};  // 1 ms
  nanosleep(&pause, nullptr);
}

bool Gone(const char* path) { return access(path, F_OK) != 0 && errno == ENOENT; }

void SweepRegistry() {
  // A creation that began before the mark registers its directory soon;
  // two seconds bound the wait should a thread be stopped in it.
  for (int waited = 0; waited < 2000 && creationsInFlight.load(std::memory_order_seq_cst) > 0;
       ++waited) {
    SleepBriefly();
  }
  Registry* live = registry.load(std::memory_order_acquire);
  for (int i = 0; i < live->count; ++i) {
    Slot& slot = live->slots[i];
    int expected = kLive;
    if (!slot.state.compare_exchange_strong(expected, kSweeping, std::memory_order_acq_rel)) {
      continue;
    }
    for (int round = 0; round < 200 && !Gone(slot.path); ++round) {
      if (slot.descriptor >= 0) {
        RemoveTreeWithDescriptorSignalSafe(slot.descriptor, slot.path);
      } else {
        RemoveTreeSignalSafe(slot.path);
      }
      if (!Gone(slot.path)) SleepBriefly();
    }
    slot.state.store(kLive, std::memory_order_release);
  }
}

extern "C" void OnTerminationSignal(int signal) {
  const int savedErrno = errno;
  terminating.store(true, std::memory_order_seq_cst);
  int expected = 0;
  if (sweep.compare_exchange_strong(expected, 1, std::memory_order_acq_rel)) {
    SweepRegistry();
    sweep.store(2, std::memory_order_release);
  } else {
    for (int waited = 0; waited < 5000 && sweep.load(std::memory_order_acquire) != 2; ++waited) {
      SleepBriefly();
    }
  }
  errno = savedErrno;
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

bool ReserveLiveDirectories(std::size_t count) {
  Registry* current = registry.load(std::memory_order_acquire);
  if (count <= static_cast<std::size_t>(current->count)) return true;
  if (count > 1u << 20) return false;
  for (int i = 0; i < current->count; ++i) {
    if (current->slots[i].state.load(std::memory_order_acquire) != kFree) return false;
  }
  // Never freed: a handler may still be walking it.
  Slot* slots = new (std::nothrow) Slot[count];
  Registry* larger = slots != nullptr ? new (std::nothrow) Registry{slots, static_cast<int>(count)}
                                      : nullptr;
  if (larger == nullptr) {
    delete[] slots;
    return false;
  }
  registry.store(larger, std::memory_order_release);
  return true;
}

bool BeginLiveCreation() {
  creationsInFlight.fetch_add(1, std::memory_order_seq_cst);
  if (terminating.load(std::memory_order_seq_cst)) {
    creationsInFlight.fetch_sub(1, std::memory_order_seq_cst);
    return false;
  }
  return true;
}

void EndLiveCreation() { creationsInFlight.fetch_sub(1, std::memory_order_seq_cst); }

LiveCreation::LiveCreation() {
  sigset_t blocked;
  sigemptyset(&blocked);
  for (const int signal : kCleanedSignals) sigaddset(&blocked, signal);
  pthread_sigmask(SIG_BLOCK, &blocked, &previousMask_);
  allowed_ = BeginLiveCreation();
}

LiveCreation::~LiveCreation() {
  if (allowed_) EndLiveCreation();
  pthread_sigmask(SIG_SETMASK, &previousMask_, nullptr);
}

int RegisterLiveDirectory(const NativePath& path, int descriptor) {
  if (path.size() >= kPathCapacity) return -1;
  Registry* live = registry.load(std::memory_order_acquire);
  for (int i = 0; i < live->count; ++i) {
    Slot& slot = live->slots[i];
    int expected = kFree;
    if (!slot.state.compare_exchange_strong(expected, kWriting, std::memory_order_acq_rel)) {
      continue;
    }
    memcpy(slot.path, path.c_str(), path.size() + 1);
    slot.descriptor = descriptor;
    slot.state.store(kLive, std::memory_order_release);
    return i;
  }
  return -1;
}

int RegisterLiveDirectory(const NativePath& path) { return RegisterLiveDirectory(path, -1); }

namespace {

// Takes a slot back from the registry; returns its descriptor (or -1).
int ReleaseLiveDirectory(int slot) {
  Registry* live = registry.load(std::memory_order_acquire);
  if (slot < 0 || slot >= live->count) return -1;
  Slot& entry = live->slots[slot];
  for (;;) {
    int expected = kLive;
    if (entry.state.compare_exchange_strong(expected, kClosing, std::memory_order_acq_rel)) break;
    if (expected != kSweeping) return -1;
    // The handler is removing it on another thread; the process ends soon.
    SleepBriefly();
  }
  const int descriptor = entry.descriptor;
  entry.descriptor = -1;
  entry.state.store(kFree, std::memory_order_release);
  return descriptor;
}

}  // namespace

void UnregisterLiveDirectory(int slot) {
  const int descriptor = ReleaseLiveDirectory(slot);
  if (descriptor >= 0) close(descriptor);
}

bool TerminationRequested() { return terminating.load(std::memory_order_relaxed); }

}  // namespace packprobe::platform
