// Buffers from the process heap, and simulated exhaustion for tests.
#pragma once

#include <cstddef>

namespace packprobe::platform {

// A block of size bytes from the process heap, or null when none can be had
// (or a simulated failure is due): a null block is the host's lack of memory.
void* HeapAllocate(std::size_t size);

// Returns a block from HeapAllocate; null is ignored.
void HeapRelease(void* block);

// An owned heap block; empty until Allocate succeeds.
class HeapBuffer {
 public:
  HeapBuffer() = default;
  ~HeapBuffer() { Release(); }
  HeapBuffer(HeapBuffer&& other) noexcept : data_(other.data_), size_(other.size_) {
    other.data_ = nullptr;
    other.size_ = 0;
  }
  HeapBuffer& operator=(HeapBuffer&& other) noexcept;
  HeapBuffer(const HeapBuffer&) = delete;
  HeapBuffer& operator=(const HeapBuffer&) = delete;

  // Replaces the block with a new one of size bytes. False, leaving the
  // buffer empty, when it cannot be allocated.
  bool Allocate(std::size_t size);
  void Release();

  unsigned char* data() const { return data_; }
  std::size_t size() const { return size_; }
  bool empty() const { return data_ == nullptr; }

 private:
  unsigned char* data_ = nullptr;
  std::size_t size_ = 0;
};

// True unless a simulated failure is due. Code that allocates ordinary heap
// objects where it must survive exhaustion asks this first, so that tests
// can make every one of its allocations fail in turn.
bool AllocationAllowed();

// Installs a process-wide test hook that AllocationAllowed consults first
// (null removes it): a false answer refuses the allocation. For the test
// build of the program that makes chosen allocations fail.
using AllocationHook = bool (*)();
void SetAllocationHook(AllocationHook allowed);

// While one lives, the next `successes` allocations that consult
// AllocationAllowed (HeapAllocate does) succeed and every later one fails.
// For tests; not nestable.
class SimulatedHeapExhaustion {
 public:
  explicit SimulatedHeapExhaustion(int successes);
  ~SimulatedHeapExhaustion();
  SimulatedHeapExhaustion(const SimulatedHeapExhaustion&) = delete;
  SimulatedHeapExhaustion& operator=(const SimulatedHeapExhaustion&) = delete;

  // How many allocations were refused so far.
  int refused() const;
};

}  // namespace packprobe::platform
