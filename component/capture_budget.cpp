#include "component/capture_budget.h"

#include <atomic>

#include "component/setup_capture.h"

namespace packprobe {
namespace {

std::atomic<std::size_t> budget{4 * kSetupCaptureBound};
std::atomic<std::size_t> held{0};

}  // namespace

std::size_t CaptureBudget() { return budget.load(); }

void SetCaptureBudget(std::size_t bytes) { budget.store(bytes); }

bool ReserveCapture(std::size_t bytes) {
  std::size_t now = held.load();
  do {
    if (bytes > budget.load() || now > budget.load() - bytes) return false;
  } while (!held.compare_exchange_weak(now, now + bytes));
  return true;
}

void ReleaseCapture(std::size_t bytes) { held.fetch_sub(bytes); }

}  // namespace packprobe
