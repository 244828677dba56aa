#include "component/archive_diagnosis.h"

#include <algorithm>
#include <cstdint>
#include <span>

#include "platform/file.h"
#include "util/ascii.h"
#include "util/byte_reader.h"

namespace packprobe {
namespace {

// The headers of a program, the section table included, lie within this
// many bytes from its start in every program a linker writes.
constexpr std::size_t kHeaderWindow = 64 << 10;
constexpr std::size_t kSectionHeaderSize = 40;

std::string Bytes(std::uint64_t count) {
  std::string digits = std::to_string(count);
  for (std::size_t i = digits.size(); i > 3; i -= 3) digits.insert(i - 3, 1, ',');
  return digits + (count == 1 ? " byte" : " bytes");
}

// Where the sections of the program in header end in the file: the end
// of its last raw section data, or of its headers; nothing when header is
// no well-formed PE program.
std::optional<std::uint64_t> ImageEnd(const ByteReader& header) {
  std::uint32_t peOffset = 0;
  std::uint32_t signature = 0;
  std::uint16_t sections = 0;
  std::uint16_t optionalSize = 0;
  if (!header.ReadU32(0x3C, &peOffset) || !header.ReadU32(peOffset, &signature) ||
      signature != 0x00004550 || !header.ReadU16(std::size_t{peOffset} + 6, &sections) ||
      !header.ReadU16(std::size_t{peOffset} + 20, &optionalSize)) {
    return std::nullopt;
  }
  const std::size_t table = std::size_t{peOffset} + 24 + optionalSize;
  if (!header.Contains(table, std::size_t{sections} * kSectionHeaderSize)) return std::nullopt;
  std::uint64_t end = table + std::size_t{sections} * kSectionHeaderSize;
  for (std::size_t i = 0; i < sections; ++i) {
    std::uint32_t rawSize = 0;
    std::uint32_t rawOffset = 0;
    header.ReadU32(table + i * kSectionHeaderSize + 16, &rawSize);
    header.ReadU32(table + i * kSectionHeaderSize + 20, &rawOffset);
    if (rawSize != 0) end = std::max<std::uint64_t>(end, std::uint64_t{rawOffset} + rawSize);
  }
  return end;
}

}  // namespace

std::optional<ArchiveDiagnosis> DiagnoseMissingArchive(const std::u16string& path) {
  platform::File file;
  std::uint64_t size = 0;
  if (!file.Open(path, platform::File::Access::kReadShared) || !file.Size(&size)) return std::nullopt;
  if (size == 0) {
    return ArchiveDiagnosis{"component-empty", "the file is empty (0 bytes): no program, no archive"};
  }
  std::vector<std::uint8_t> header(static_cast<std::size_t>(std::min<std::uint64_t>(size, kHeaderWindow)));
  std::size_t got = 0;
  if (!file.ReadUpTo(0, header.data(), header.size(), &got)) return std::nullopt;
  header.resize(got);
  const ByteReader reader{std::span<const std::uint8_t>(header)};
  const bool mz = got >= 2 && header[0] == 'M' && header[1] == 'Z';
  const std::optional<std::uint64_t> end = mz ? ImageEnd(reader) : std::nullopt;
  if (!end) {
    return ArchiveDiagnosis{
        "not-a-program", "the file (" + Bytes(size) + ") is not a Windows program" +
                             (mz ? " (its headers are not well-formed)" : " (it does not start with \"MZ\")") +
                             ", and no archive ends it"};
  }
  if (*end >= size) {
    return ArchiveDiagnosis{
        "nothing-appended",
        "a Windows program (" + Bytes(size) + ") with nothing appended: its sections end at byte " +
            std::to_string(*end) + (*end > size ? ", past the end of the file" : ", the end of the file") +
            ", where the archive should follow"};
  }
  std::uint8_t signature[4] = {};
  if (!file.ReadUpTo(*end, signature, sizeof signature, &got)) return std::nullopt;
  if (got == 4 && signature[0] == 'P' && signature[1] == 'K' && signature[2] == 3 && signature[3] == 4) {
    return ArchiveDiagnosis{
        "archive-truncated",
        "an archive starts at byte " + std::to_string(*end) + " after the program, but the file ends at byte " +
            std::to_string(size) + " without the archive's end record: it was cut off after " +
            Bytes(size - *end) + " of archive"};
  }
  return std::nullopt;
}

std::string XmlEntriesNote(const std::vector<std::string>& entryNames) {
  constexpr std::size_t kListed = 5;
  std::vector<std::string> xml;
  for (const std::string& name : entryNames) {
    if (name.size() >= 4 && AsciiEqualIgnoringCase(name[name.size() - 4], '.') &&
        AsciiEqualIgnoringCase(name[name.size() - 3], 'x') &&
        AsciiEqualIgnoringCase(name[name.size() - 2], 'm') &&
        AsciiEqualIgnoringCase(name[name.size() - 1], 'l')) {
      xml.push_back(name);
    }
  }
  if (xml.empty()) return "; it holds no .xml entry";
  std::string note = xml.size() == 1 ? "; its one .xml entry is " : "; its .xml entries are ";
  for (std::size_t i = 0; i < xml.size() && i < kListed; ++i) {
    note += (i == 0 ? "" : ", ") + xml[i];
  }
  if (xml.size() > kListed) note += " and " + std::to_string(xml.size() - kListed) + " more";
  return note + " (a component renamed after it was built keeps its old metadata name)";
}

}  // namespace packprobe
