#include <cstdlib>

#include "platform/heap.h"
#include "platform/host_fault.h"

namespace packprobe::platform {

void* HeapAllocate(std::size_t size) {
  if (!AllocationAllowed()) return nullptr;
  // A zero-byte request still yields a distinct block, as HeapAlloc does.
  void* block = std::malloc(size == 0 ? 1 : size);
  if (block == nullptr) NoteHostFault(HostFault::kNoMemory);
  return block;
}

void HeapRelease(void* block) { std::free(block); }

}  // namespace packprobe::platform
