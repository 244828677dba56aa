#include "platform/whole_file.h"

#include <cerrno>
#include <system_error>

#include "platform/host_fault.h"
#include "platform/stdio_file.h"

namespace packprobe::platform {
namespace {

std::string Size(std::uint64_t bytes) {
  if (bytes >= (1u << 20) && bytes % (1u << 20) == 0) return std::to_string(bytes >> 20) + " MiB";
  if (bytes >= (1u << 10) && bytes % (1u << 10) == 0) return std::to_string(bytes >> 10) + " KiB";
  return std::to_string(bytes) + " bytes";
}

}  // namespace

std::optional<std::string> ReadWholeStream(std::FILE* stream, std::uint64_t limit, std::string& error,
                                           const PieceCheck& check) {
  std::string text;
  char buffer[65536];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, stream)) > 0) {
    if (n > limit - text.size()) {
      error = "is larger than " + Size(limit);
      return std::nullopt;
    }
    text.append(buffer, n);
    if (check && !check(text, text.size() - n, error)) return std::nullopt;
  }
  if (std::ferror(stream) != 0) {
    error = "cannot be read: " + std::system_category().message(errno);
    return std::nullopt;
  }
  return text;
}

std::optional<std::string> ReadWholeFile(std::u16string_view path, std::uint64_t limit, std::string& error) {
  HostFault fault = HostFault::kNone;
  const StdioFile file = OpenFileForReading(path, &fault);
  if (!file) {
    error = fault == HostFault::kNone ? "is no regular file that exists"
                                      : "cannot be opened: " + std::string(HostFaultText(fault));
    return std::nullopt;
  }
  return ReadWholeStream(file.get(), limit, error);
}

}  // namespace packprobe::platform
