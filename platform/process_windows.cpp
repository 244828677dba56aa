// Termination clean-up on Windows.
//
// The system runs a console control handler on a thread of its own while
// the other threads go on. Files that an inspection is writing cannot be
// deleted while its handle is open, so the handler does not remove the
// work directories itself: it makes every file read and write fail from
// then on (TerminationRequested), which ends each running inspection as a
// failed one, and each removes its own work directory on the way out. The
// handler waits for the registry to empty (a few seconds at most), removes
// whatever is left, and lets the system's handler end the process.
#include <windows.h>

#include <atomic>
#include <mutex>
#include <vector>

#include "platform/process.h"
#include "platform/remove_tree.h"

namespace packprobe::platform {
namespace {

std::atomic<bool> terminating{false};
std::mutex registryLock;
std::vector<NativePath>* registry = nullptr;  // slot -> path; empty: free

constexpr DWORD kWaitMilliseconds = 4000;

bool RegistryEmpty() {
  const std::lock_guard<std::mutex> hold(registryLock);
  if (registry == nullptr) return true;
  for (const NativePath& path : *registry) {
    if (!path.empty()) return false;
  }
  return true;
}

BOOL WINAPI OnConsoleControl(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
      break;
    default:
      return FALSE;
  }
  terminating.store(true);
  for (DWORD waited = 0; waited < kWaitMilliseconds && !RegistryEmpty(); waited += 50) Sleep(50);
  {
    const std::lock_guard<std::mutex> hold(registryLock);
    if (registry != nullptr) {
      for (const NativePath& path : *registry) RemoveTree(path);
    }
  }
  return FALSE;  // the system's own handler ends the process
}

}  // namespace

void PrepareProcess() { SetConsoleCtrlHandler(OnConsoleControl, TRUE); }

int RegisterLiveDirectory(const NativePath& path) {
  try {
    const std::lock_guard<std::mutex> hold(registryLock);
    if (registry == nullptr) registry = new std::vector<NativePath>();
    for (std::size_t i = 0; i < registry->size(); ++i) {
      if ((*registry)[i].empty()) {
        (*registry)[i] = path;
        return static_cast<int>(i);
      }
    }
    registry->push_back(path);
    return static_cast<int>(registry->size() - 1);
  } catch (...) {
    return -1;
  }
}

void UnregisterLiveDirectory(int slot) {
  const std::lock_guard<std::mutex> hold(registryLock);
  if (registry != nullptr && slot >= 0 && static_cast<std::size_t>(slot) < registry->size()) {
    NativePath().swap((*registry)[static_cast<std::size_t>(slot)]);
  }
}

bool ReserveLiveDirectories(std::size_t) { return true; }  // the registry grows as needed

bool TerminationRequested() { return terminating.load(std::memory_order_relaxed); }

}  // namespace packprobe::platform
