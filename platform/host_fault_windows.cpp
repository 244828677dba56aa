#include <windows.h>

#include "platform/host_fault.h"

namespace packprobe::platform {

HostFault HostFaultFromSystemError(int error) {
  switch (static_cast<DWORD>(error)) {
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
    case ERROR_NO_SYSTEM_RESOURCES:
      return HostFault::kNoMemory;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
    case ERROR_FILE_TOO_LARGE:
      return HostFault::kNoSpace;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_WRITE_PROTECT:
      return HostFault::kPermission;
    case ERROR_TOO_MANY_OPEN_FILES:
      return HostFault::kTooManyFiles;
    case ERROR_CRC:
    case ERROR_READ_FAULT:
    case ERROR_WRITE_FAULT:
    case ERROR_IO_DEVICE:
      return HostFault::kIo;
    default:
      return HostFault::kOther;
  }
}

HostFault LastSystemErrorFault() {
  return HostFaultFromSystemError(static_cast<int>(GetLastError()));
}

}  // namespace packprobe::platform
