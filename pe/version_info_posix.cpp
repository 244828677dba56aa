#include "pe/version_info.h"

#include <algorithm>
#include <vector>

#include "pe/pe_version_resource.h"
#include "pe/version_file.h"
#include "util/byte_reader.h"

namespace packprobe::platform {

const bool kSystemVersionApi = false;

std::uint32_t GetVersionInfoSize(const std::u16string& path, VersionInfoFailure* fault) {
  std::vector<std::uint8_t> data;
  if (!ReadFileVersionData(path, &data, fault)) return 0;
  return static_cast<std::uint32_t>(data.size());
}

std::optional<VersionInfoBlock> VersionInfoBlock::Read(const std::u16string& path,
                                                       std::uint32_t size,
                                                       VersionInfoFailure* fault) {
  if (size == 0) return std::nullopt;
  std::vector<std::uint8_t> data;
  if (!ReadFileVersionData(path, &data, fault)) return std::nullopt;
  const std::size_t capacity = std::size_t{size} * 2;
  std::unique_ptr<std::uint8_t[]> bytes = AllocateVersionBlock(capacity, fault);
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
