#include "tests/support/permission_bits.h"

#if defined(__linux__)
#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace packprobe::testsupport {

bool ObeyPermissionBits() {
#if defined(__linux__)
  constexpr int kOverrides[] = {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH};
  // Out of the bounding set, so that running a program does not give them
  // back; out of the current sets, so that they are gone now.
  for (const int capability : kOverrides) {
    if (prctl(PR_CAPBSET_DROP, capability, 0, 0, 0) != 0) return false;
  }
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct sets[2] = {};
  if (syscall(SYS_capget, &header, sets) != 0) return false;
  for (const int capability : kOverrides) {
    const unsigned bit = 1u << (capability % 32);
    sets[capability / 32].effective &= ~bit;
    sets[capability / 32].permitted &= ~bit;
    sets[capability / 32].inheritable &= ~bit;
  }
  return syscall(SYS_capset, &header, sets) == 0;
#else
  return false;
#endif
}

}  // namespace packprobe::testsupport
