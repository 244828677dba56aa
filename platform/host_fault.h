// Failures of the host, as opposed to failures of the data being read.
//
// A HostFault says why a system call or an allocation failed: no memory, no
// space, no permission, too many open files, an I/O error. It travels as a
// value with the failure it caused (File::fault, WorkDirectory::Create, the
// archive reader's ZIP_Failure, the XML reader's load), so that a caller can
// tell whether the machine or the input was at fault without asking anyone
// else.
#pragma once

#include <string_view>

namespace packprobe::platform {

enum class HostFault {
  kNone,
  kNoMemory,      // an allocation failed
  kNoSpace,       // no space left, a quota or a file-size limit reached
  kPermission,    // access denied, a read-only file system
  kTooManyFiles,  // the process or the system has too many open files
  kIo,            // the device reported an input/output error
  kOther,         // any other refusal of the system
};

// The stable machine code of a fault: "host-no-memory", "host-no-space",
// "host-permission", "host-too-many-files", "host-io", "host-system-error";
// empty for kNone.
std::string_view HostFaultCode(HostFault fault);

// One English sentence about the fault, for people.
std::string_view HostFaultText(HostFault fault);

// The fault that a system error number stands for (errno on POSIX,
// GetLastError on Windows); never kNone.
HostFault HostFaultFromSystemError(int error);

// The fault of the calling thread's last system error (errno, GetLastError),
// read right after the call that failed.
HostFault LastSystemErrorFault();

}  // namespace packprobe::platform
