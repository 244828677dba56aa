#include "pe/version_info.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <new>
#include <vector>

#include "util/byte_reader.h"
#include "pe/pe_version_resource.h"
#include "util/text.h"

namespace packprobe::platform {
namespace {

// Positional reads from an open file, closed with the object.
class FileInput final : public PositionalInput {
 public:
  explicit FileInput(const std::u16string& path) {
    // A path that does not convert exactly would name some other file.
    const std::optional<std::string> native = Utf16ToUtf8Strict(path);
    if (!native) return;
    // Without O_NONBLOCK, opening a named pipe waits for a writer forever.
    fd_ = ::open(native->c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd_ < 0) return;
    struct stat info {};
    // Only a regular file has a size to read within; a directory or a pipe
    // has no version information.
    if (::fstat(fd_, &info) != 0 || !S_ISREG(info.st_mode)) {
      ::close(fd_);
      fd_ = -1;
      return;
    }
    size_ = static_cast<std::uint64_t>(info.st_size);
  }
  ~FileInput() override {
    if (fd_ >= 0) ::close(fd_);
  }
  FileInput(const FileInput&) = delete;
  FileInput& operator=(const FileInput&) = delete;

  bool is_open() const { return fd_ >= 0; }
  std::uint64_t Size() const override { return size_; }

  bool ReadAt(std::uint64_t offset, std::span<std::uint8_t> out) const override {
    std::size_t done = 0;
    while (done < out.size()) {
      const ssize_t n = ::pread(fd_, out.data() + done, out.size() - done,
                                static_cast<off_t>(offset + done));
      if (n < 0 && errno == EINTR) continue;
      // A file that shrank since its size was taken ends the read too.
      if (n <= 0) return false;
      done += static_cast<std::size_t>(n);
    }
    return true;
  }

 private:
  int fd_ = -1;
  std::uint64_t size_ = 0;
};

bool ReadVersionData(const std::u16string& path, std::vector<std::uint8_t>* data) {
  FileInput file(path);
  return file.is_open() && ReadVersionResource(file, data) == PeVersionResult::kOk;
}

}  // namespace

std::uint32_t GetVersionInfoSize(const std::u16string& path) {
  std::vector<std::uint8_t> data;
  if (!ReadVersionData(path, &data)) return 0;
  return static_cast<std::uint32_t>(data.size());
}

std::optional<VersionInfoBlock> VersionInfoBlock::Read(const std::u16string& path,
                                                       std::uint32_t size) {
  if (size == 0) return std::nullopt;
  std::vector<std::uint8_t> data;
  if (!ReadVersionData(path, &data)) return std::nullopt;
  const std::size_t capacity = std::size_t{size} * 2;
  std::unique_ptr<std::uint8_t[]> bytes(new (std::nothrow) std::uint8_t[capacity]());
  if (!bytes) return std::nullopt;
  // Like the Windows call, copy no more than the caller asked for.
  const std::size_t copied = std::min<std::size_t>(size, data.size());
  std::copy_n(data.begin(), copied, bytes.get());
  return VersionInfoBlock(std::move(bytes), copied, capacity);
}

std::optional<std::u16string> VersionInfoBlock::QueryText(std::u16string_view queryPath) const {
  return QueryVersionText(ByteReader({bytes_.get(), size_}), queryPath);
}

}  // namespace packprobe::platform
