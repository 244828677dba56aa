// Filling a ZIP_Failure where an operation of the reader fails.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <new>
#include <optional>
#include <string_view>

#include "zip/zip_result.h"

namespace vekzip::detail {

// Records result, code, offset and a detail sentence formatted like printf
// into *failure and returns result, so that a failure point reads
// `return Fail(...)`. Recording never fails: when the detail cannot be
// stored for lack of memory it stays empty.
#if defined(__GNUC__)
__attribute__((format(printf, 5, 6)))
#endif
inline int Fail(ZIP_Failure* failure, int result, std::string_view code,
                std::optional<std::uint64_t> offset, const char* format, ...) {
  failure->result = result;
  failure->code = code;
  failure->offset = offset;
  failure->hostFault = packprobe::platform::HostFault::kNone;
  char text[320];
  va_list arguments;
  va_start(arguments, format);
  std::vsnprintf(text, sizeof text, format, arguments);
  va_end(arguments);
  try {
    failure->detail.assign(text);
  } catch (const std::bad_alloc&) {
    failure->detail.clear();
  }
  return result;
}

inline void Clear(ZIP_Failure* failure) {
  failure->result = ZIP_OK;
  failure->code = {};
  failure->detail.clear();
  failure->offset.reset();
  failure->hostFault = packprobe::platform::HostFault::kNone;
}

// Adds the host's fault to the failure just recorded and returns result:
// `return HostFailure(&failure_, fault, Fail(...))`.
inline int HostFailure(ZIP_Failure* failure, packprobe::platform::HostFault fault, int result) {
  failure->hostFault = fault;
  return result;
}

// An entry name for a detail sentence: at most 120 bytes of it.
inline int NameLength(const char* name) {
  if (name == nullptr) return 0;
  int n = 0;
  while (n < 120 && name[n] != '\0') ++n;
  return n;
}

}  // namespace vekzip::detail
