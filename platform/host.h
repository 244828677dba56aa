// Facts about the host platform that shape how the program reads its input.
#pragma once

namespace packprobe::platform {

#ifdef _WIN32
// On Windows "/" starts an option; paths are written with drive letters.
inline constexpr bool kSlashStartsAbsolutePaths = false;
#else
// On POSIX an absolute path starts with "/", like an option.
inline constexpr bool kSlashStartsAbsolutePaths = true;
#endif

}  // namespace packprobe::platform
