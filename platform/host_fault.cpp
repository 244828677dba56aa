#include "platform/host_fault.h"

namespace packprobe::platform {
std::string_view HostFaultCode(HostFault fault) {
  switch (fault) {
    case HostFault::kNone:
      return {};
    case HostFault::kNoMemory:
      return "host-no-memory";
    case HostFault::kNoSpace:
      return "host-no-space";
    case HostFault::kPermission:
      return "host-permission";
    case HostFault::kTooManyFiles:
      return "host-too-many-files";
    case HostFault::kIo:
      return "host-io";
    case HostFault::kOther:
      break;
  }
  return "host-system-error";
}

std::string_view HostFaultText(HostFault fault) {
  switch (fault) {
    case HostFault::kNone:
      return {};
    case HostFault::kNoMemory:
      return "the system could not provide the memory needed";
    case HostFault::kNoSpace:
      return "no space was left for the extracted file (disk full, quota or file-size limit)";
    case HostFault::kPermission:
      return "the system denied access";
    case HostFault::kTooManyFiles:
      return "too many files are open";
    case HostFault::kIo:
      return "the device reported an input/output error";
    case HostFault::kOther:
      break;
  }
  return "the system refused the operation";
}

}  // namespace packprobe::platform
