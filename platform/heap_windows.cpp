#include <windows.h>

#include "platform/heap.h"
#include "platform/host_fault.h"

namespace packprobe::platform {

void* HeapAllocate(std::size_t size) {
  if (!AllocationAllowed()) return nullptr;
  void* block = HeapAlloc(GetProcessHeap(), 0, size);
  if (block == nullptr) NoteHostFault(HostFault::kNoMemory);
  return block;
}

void HeapRelease(void* block) {
  if (block != nullptr) HeapFree(GetProcessHeap(), 0, block);
}

}  // namespace packprobe::platform
