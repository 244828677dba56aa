// Linked into a test build of the program only: makes a chosen allocation
// fail, so that tests can sweep a failure across every allocation of a run.
//
// PACKPROBE_FAIL_ALLOCATION=<n> refuses the n-th allocation (counting from
// 1) of ordinary heap objects (operator new) and of the platform's heap
// (HeapAllocate, and every other consult of AllocationAllowed);
// PACKPROBE_FAIL_ALLOCATION=<n>+ refuses it and every one after it, as
// memory that stays exhausted. With PACKPROBE_FAIL_ALLOCATION_ON=workers
// only the allocations of threads other than the one that started the
// program count (and fail): a scan's checks, without its start-up and its
// report. When the refusal happens, one line goes to standard error, which
// the program itself never writes: a run without that line had fewer
// allocations than n.
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <thread>

#include "platform/heap.h"

namespace {

std::atomic<long> counted{0};
long failAt = 0;          // 0: never
bool failAfter = false;  // refuse every later allocation too
std::atomic<bool> reported{false};
bool workersOnly = false;
std::thread::id mainThread;

bool Allowed() {
  if (failAt == 0) return true;
  if (workersOnly && std::this_thread::get_id() == mainThread) return true;
  const long n = ++counted;
  if (n < failAt || (n > failAt && !failAfter)) return true;
  if (!reported.exchange(true)) {
    static constexpr char kLine[] = "allocation refused\n";
    [[maybe_unused]] const ssize_t ignored = write(STDERR_FILENO, kLine, sizeof kLine - 1);
  }
  return false;
}

const bool installed = [] {
  if (const char* setting = std::getenv("PACKPROBE_FAIL_ALLOCATION")) {
    char* end = nullptr;
    failAt = std::strtol(setting, &end, 10);
    failAfter = end != nullptr && *end == '+';
  }
  if (const char* on = std::getenv("PACKPROBE_FAIL_ALLOCATION_ON")) {
    workersOnly = std::strcmp(on, "workers") == 0;
  }
  mainThread = std::this_thread::get_id();
  packprobe::platform::SetAllocationHook(Allowed);
  return true;
}();

void* Allocate(std::size_t size) {
  if (!Allowed()) return nullptr;
  return std::malloc(size == 0 ? 1 : size);
}

}  // namespace

void* operator new(std::size_t size) {
  if (void* block = Allocate(size)) return block;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }
