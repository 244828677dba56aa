#include "platform/heap.h"

namespace packprobe::platform {
namespace {

// The program is single-threaded; the simulation is plain state.
bool simulating = false;
int successesLeft = 0;
int refusedCount = 0;

}  // namespace

bool AllocationAllowed() {
  if (!simulating) return true;
  if (successesLeft > 0) {
    --successesLeft;
    return true;
  }
  ++refusedCount;
  return false;
}

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
