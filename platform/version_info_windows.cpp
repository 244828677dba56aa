#include "platform/version_info.h"

#include <windows.h>

#include <functional>
#include <limits>
#include <new>

#include "platform/byte_reader.h"

namespace packprobe::platform {
namespace {

// The path as the wide text the Windows calls take; nothing when it holds a
// null, which would cut it short and name some other file.
std::optional<std::wstring> ToWide(std::u16string_view text) {
  std::wstring wide;
  wide.reserve(text.size());
  for (char16_t c : text) {
    if (c == 0) return std::nullopt;
    wide.push_back(static_cast<wchar_t>(c));
  }
  return wide;
}

}  // namespace

std::uint32_t GetVersionInfoSize(const std::u16string& path) {
  const std::optional<std::wstring> wide = ToWide(path);
  if (!wide) return 0;
  DWORD ignored = 0;
  return GetFileVersionInfoSizeW(wide->c_str(), &ignored);
}

std::optional<VersionInfoBlock> VersionInfoBlock::Read(const std::u16string& path,
                                                       std::uint32_t size) {
  const std::optional<std::wstring> wide = ToWide(path);
  if (!wide || size == 0 || size > std::numeric_limits<std::size_t>::max() / 2) {
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
  const std::optional<std::wstring> wide = ToWide(queryPath);
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
