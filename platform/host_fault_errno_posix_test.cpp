#include <cerrno>

#include <gtest/gtest.h>

#include "platform/host_fault.h"

namespace packprobe::platform {
namespace {

// Every system error that the classification knows gives its documented
// reason code; any other is a plain system error.
TEST(HostFaultErrnoTest, EachKnownErrorMapsToItsDocumentedReason) {
  const struct {
    int error;
    const char* code;
  } cases[] = {
      {ENOMEM, "host-no-memory"},     {ENOSPC, "host-no-space"},       {EDQUOT, "host-no-space"},
      {EFBIG, "host-no-space"},       {EACCES, "host-permission"},     {EPERM, "host-permission"},
      {EROFS, "host-permission"},     {EMFILE, "host-too-many-files"}, {ENFILE, "host-too-many-files"},
      {EIO, "host-io"},               {EINVAL, "host-system-error"},   {EBUSY, "host-system-error"},
  };
  for (const auto& c : cases) {
    const HostFault fault = HostFaultFromSystemError(c.error);
    EXPECT_EQ(HostFaultCode(fault), c.code) << c.error;
    EXPECT_FALSE(HostFaultText(fault).empty());
  }
}

}  // namespace
}  // namespace packprobe::platform
