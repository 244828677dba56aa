#include "platform/heap.h"

#include <atomic>


namespace packprobe::platform {
namespace {

// Tests simulate from one thread at a time; the state is atomic only so
// that other threads asking meanwhile do no harm.
std::atomic<bool> simulating{false};
std::atomic<int> successesLeft{0};
std::atomic<int> refusedCount{0};
std::atomic<AllocationHook> hook{nullptr};

}  // namespace

bool AllocationAllowed() {
  const AllocationHook installed = hook.load(std::memory_order_relaxed);
  if (installed != nullptr && !installed()) return false;
  if (!simulating.load(std::memory_order_relaxed)) return true;
  if (successesLeft.fetch_sub(1) > 0) return true;
  ++refusedCount;
  return false;
}

void SetAllocationHook(AllocationHook allowed) { hook.store(allowed); }

SimulatedHeapExhaustion::SimulatedHeapExhaustion(int successes) {
  simulating = true;
  successesLeft = successes;
  refusedCount = 0;
}

SimulatedHeapExhaustion::~SimulatedHeapExhaustion() { simulating = false; }

int SimulatedHeapExhaustion::refused() const { return refusedCount; }

HeapBuffer& HeapBuffer::operator=(HeapBuffer&& other) noexcept {
  if (this != &other) {
    Release();
    data_ = other.data_;
    size_ = other.size_;
    other.data_ = nullptr;
    other.size_ = 0;
  }
  return *this;
}

bool HeapBuffer::Allocate(std::size_t size) {
  Release();
  data_ = static_cast<unsigned char*>(HeapAllocate(size));
  if (data_ == nullptr) return false;
  size_ = size;
  return true;
}

void HeapBuffer::Release() {
  HeapRelease(data_);
  data_ = nullptr;
  size_ = 0;
}

}  // namespace packprobe::platform
