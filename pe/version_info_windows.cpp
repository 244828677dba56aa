#include "pe/version_info.h"

#include <windows.h>

#include <algorithm>
#include <functional>
#include <limits>
#include <new>
#include <vector>

#include "util/byte_reader.h"
#include "pe/pe_version_resource.h"
#include "platform/system_path_windows.h"

namespace packprobe::platform {
namespace {

// Positional reads from an open file, closed with the object.
class FileInput final : public PositionalInput {
 public:
  explicit FileInput(const std::wstring& path) {
    handle_ = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle_ == INVALID_HANDLE_VALUE) return;
    LARGE_INTEGER size{};
    // Only a file on disk has a size to read within; a pipe or a device
    // has no version information.
    if (GetFileType(handle_) != FILE_TYPE_DISK || !GetFileSizeEx(handle_, &size) ||
        size.QuadPart < 0) {
      CloseHandle(handle_);
      handle_ = INVALID_HANDLE_VALUE;
      return;
    }
    size_ = static_cast<std::uint64_t>(size.QuadPart);
  }
  ~FileInput() override {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
  }
  FileInput(const FileInput&) = delete;
  FileInput& operator=(const FileInput&) = delete;

  bool is_open() const { return handle_ != INVALID_HANDLE_VALUE; }
  std::uint64_t Size() const override { return size_; }

  bool ReadAt(std::uint64_t offset, std::span<std::uint8_t> out) const override {
    std::size_t done = 0;
    while (done < out.size()) {
      const std::uint64_t at = offset + done;
      OVERLAPPED position{};
      position.Offset = static_cast<DWORD>(at);
      position.OffsetHigh = static_cast<DWORD>(at >> 32);
      DWORD got = 0;
      const DWORD want = static_cast<DWORD>(std::min<std::size_t>(out.size() - done, 1u << 20));
      if (!ReadFile(handle_, out.data() + done, want, &got, &position) || got == 0) return false;
      done += got;
    }
    return true;
  }

 private:
  HANDLE handle_ = INVALID_HANDLE_VALUE;
  std::uint64_t size_ = 0;
};

// The version API trusts the sizes in a program's resource tree and copies
// as many bytes as they claim, reading past the file's mapping when a
// hostile file claims more than it holds. So a file reaches the API only
// after the portable reader has found its version resource well-formed and
// wholly inside the file.
bool VersionResourceIsSound(const std::wstring& path) {
  FileInput file(path);
  std::vector<std::uint8_t> data;
  return file.is_open() && ReadVersionResource(file, &data) == PeVersionResult::kOk;
}

}  // namespace

std::uint32_t GetVersionInfoSize(const std::u16string& path) {
  const std::optional<std::wstring> wide = SystemPath(path);
  if (!wide || !VersionResourceIsSound(*wide)) return 0;
  DWORD ignored = 0;
  return GetFileVersionInfoSizeW(wide->c_str(), &ignored);
}

std::optional<VersionInfoBlock> VersionInfoBlock::Read(const std::u16string& path,
                                                       std::uint32_t size) {
  const std::optional<std::wstring> wide = SystemPath(path);
  // The file is checked again: it may have changed since its size was taken.
  if (!wide || size == 0 || size > std::numeric_limits<std::size_t>::max() / 2 ||
      !VersionResourceIsSound(*wide)) {
    return std::nullopt;
  }
  const std::size_t capacity = std::size_t{size} * 2;
  std::unique_ptr<std::uint8_t[]> bytes(new (std::nothrow) std::uint8_t[capacity]());
  if (!bytes) return std::nullopt;
  // The reported size, not the doubled one: the rest of the block stays zero.
  if (!GetFileVersionInfoW(wide->c_str(), 0, size, bytes.get())) return std::nullopt;
  return VersionInfoBlock(std::move(bytes), size, capacity);
}

std::optional<std::u16string> VersionInfoBlock::QueryText(std::u16string_view queryPath) const {
  const std::optional<std::wstring> wide = SystemPath(queryPath);
  if (!wide) return std::nullopt;
  LPVOID value = nullptr;
  UINT length = 0;
  if (!VerQueryValueW(bytes_.get(), wide->c_str(), &value, &length) || value == nullptr) {
    return std::nullopt;
  }
  // A declared length of 0 is the empty text: the pointer then lies on
  // whatever follows the key, often the next entry.
  std::u16string text;
  if (length == 0) return text;
  // The pointer lies inside the block; read from there through the checked
  // reader, so that a value without a terminator stops at the block's end.
  const std::uint8_t* base = bytes_.get();
  const auto* at = static_cast<const std::uint8_t*>(value);
  const std::less<const std::uint8_t*> before;
  if (before(at, base) || !before(at, base + capacity_)) return std::nullopt;
  const ByteReader block({base, capacity_});
  for (std::size_t offset = static_cast<std::size_t>(at - base);; offset += 2) {
    std::uint16_t c = 0;
    if (!block.ReadU16(offset, &c) || c == 0) break;
    text.push_back(static_cast<char16_t>(c));
  }
  return text;
}

}  // namespace packprobe::platform
