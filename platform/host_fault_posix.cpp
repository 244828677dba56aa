#include <cerrno>

#include "platform/host_fault.h"

namespace packprobe::platform {

HostFault HostFaultFromSystemError(int error) {
  switch (error) {
    case ENOMEM:
      return HostFault::kNoMemory;
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
      return HostFault::kNoSpace;
    case EACCES:
    case EPERM:
    case EROFS:
      return HostFault::kPermission;
    case EMFILE:
    case ENFILE:
      return HostFault::kTooManyFiles;
    case EIO:
      return HostFault::kIo;
    default:
      return HostFault::kOther;
  }
}

HostFault LastSystemErrorFault() { return HostFaultFromSystemError(errno); }

}  // namespace packprobe::platform
