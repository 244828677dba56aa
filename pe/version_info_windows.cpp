#include "pe/version_info.h"

#include <windows.h>

#include <algorithm>
#include <limits>
#include <vector>

#include "util/byte_reader.h"
#include "pe/pe_version_resource.h"
#include "pe/version_file.h"
#include "platform/system_path.h"

namespace packprobe::platform {

const bool kSystemVersionApi = true;
namespace {

// The version API trusts the sizes in a program's resource tree and copies
// as many bytes as they claim, reading past the file's mapping when a
// hostile file claims more than it holds. So a file reaches the API only
// after the portable reader has found its version resource well-formed and
// wholly inside the file.
bool VersionResourceIsSound(const std::u16string& path, VersionInfoFailure* fault) {
  std::vector<std::uint8_t> data;
  return ReadFileVersionData(path, &data, fault);
}

}  // namespace

std::uint32_t GetVersionInfoSize(const std::u16string& path, VersionInfoFailure* fault) {
  const std::optional<NativePath> wide = SystemPath(path);
  if (!wide) {
    if (fault != nullptr) *fault = {VersionInfoFault::kNotAFile, HostFault::kNone};
    return 0;
  }
  if (!VersionResourceIsSound(path, fault)) return 0;
  DWORD ignored = 0;
  return GetFileVersionInfoSizeW(wide->c_str(), &ignored);
}

std::optional<VersionInfoBlock> VersionInfoBlock::Read(const std::u16string& path,
                                                       std::uint32_t size,
                                                       VersionInfoFailure* fault) {
  const std::optional<NativePath> wide = SystemPath(path);
  // The file is checked again: it may have changed since its size was taken.
  if (!wide || size == 0 || size > std::numeric_limits<std::size_t>::max() / 2 ||
      !VersionResourceIsSound(path, fault)) {
    return std::nullopt;
  }
  const std::size_t capacity = std::size_t{size} * 2;
  std::unique_ptr<std::uint8_t[]> bytes = AllocateVersionBlock(capacity, fault);
  if (!bytes) return std::nullopt;
  // The reported size, not the doubled one: the rest of the block stays zero.
  if (!GetFileVersionInfoW(wide->c_str(), 0, size, bytes.get())) return std::nullopt;
  return VersionInfoBlock(std::move(bytes), size, capacity);
}

std::optional<std::u16string> VersionInfoBlock::QueryText(std::u16string_view queryPath) const {
  const std::optional<NativePath> wide = SystemPath(queryPath);
  if (!wide) return std::nullopt;
  LPVOID value = nullptr;
  UINT length = 0;
  if (!VerQueryValueW(bytes_.get(), wide->c_str(), &value, &length) || value == nullptr) {
    return std::nullopt;
  }
  // The API's pointer is followed by whatever comes next in the block: a
  // value without a terminator would run on into the next entry's header.
  // The text is taken from the same node by the portable walk instead,
  // which stops at the end of the node that holds it, as on every other
  // platform; a declared length of 0 is the empty text there too.
  return QueryVersionText(ByteReader({bytes_.get(), size_}), queryPath);
}

}  // namespace packprobe::platform
