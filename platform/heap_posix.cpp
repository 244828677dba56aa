#include <cstdlib>

#include "platform/heap.h"

namespace packprobe::platform {

void* HeapAllocate(std::size_t size) {
  if (!AllocationAllowed()) return nullptr;
  // A zero-byte request still yields a distinct block, as HeapAlloc does.
  return std::malloc(size == 0 ? 1 : size);
}

void HeapRelease(void* block) { std::free(block); }

}  // namespace packprobe::platform
