// Failures of the host, as opposed to failures of the data being read.
//
// The services of this layer note here, per thread, why a system call or an
// allocation failed: no memory, no space, no permission, too many open
// files, an I/O error. A caller that gets a failure from a reader above can
// then tell whether the machine or the input was at fault: it clears the
// note before the operation and looks at it afterwards.
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

// The first fault noted on this thread since the last ClearHostFault.
HostFault LastHostFault();
void ClearHostFault();

// Notes a fault unless one is noted already: the first one is the cause.
void NoteHostFault(HostFault fault);

// The stable machine code of a fault: "host-no-memory", "host-no-space",
// "host-permission", "host-too-many-files", "host-io", "host-system-error";
// empty for kNone.
std::string_view HostFaultCode(HostFault fault);

// One English sentence about the fault, for people.
std::string_view HostFaultText(HostFault fault);

// The fault that a system error number stands for (errno on POSIX,
// GetLastError on Windows); never kNone.
HostFault HostFaultFromSystemError(int error);

// Notes the fault of the calling thread's last system error.
void NoteLastSystemError();

}  // namespace packprobe::platform
