#include <windows.h>

#include "platform/heap.h"

namespace packprobe::platform {

void* HeapAllocate(std::size_t size) {
  if (!AllocationAllowed()) return nullptr;
  return HeapAlloc(GetProcessHeap(), 0, size);
}

void HeapRelease(void* block) {
  if (block != nullptr) HeapFree(GetProcessHeap(), 0, block);
}

}  // namespace packprobe::platform
