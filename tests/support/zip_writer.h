// A small ZIP archive writer for tests: builds archives in memory from short
// descriptions, including broken ones that no real tool would write.
//
// The archive may follow a prefix (a program stub, as in a self-extracting
// component); every offset stored in the archive then counts the prefix's
// bytes, as a self-extracting program is written, unless the options say
// otherwise.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace packprobe::testsupport {

// The fields that a local header repeats from its central header.
struct ZipHeaderFields {
  std::uint16_t versionNeeded = 20;
  std::uint16_t flags = 0;
  std::uint16_t method = 8;
  std::uint16_t dosTime = 0;
  std::uint16_t dosDate = 0;
  std::uint32_t crc = 0;
  std::uint32_t compressedSize = 0;
  std::uint32_t uncompressedSize = 0;
};

// DOS date and time fields (year from 1980, two-second resolution).
constexpr std::uint16_t DosDate(int year, int month, int day) {
  return static_cast<std::uint16_t>((year - 1980) << 9 | month << 5 | day);
}
constexpr std::uint16_t DosTime(int hour, int minute, int second) {
  return static_cast<std::uint16_t>(hour << 11 | minute << 5 | second / 2);
}

struct ZipWriterEntry {
  std::string name;
  std::string data;  // the uncompressed content
  bool deflate = true;  // raw-deflate the data (method 8); otherwise store it (method 0)
  std::uint32_t externalAttributes = 0;
  std::uint16_t dosTime = DosTime(12, 34, 56);
  std::uint16_t dosDate = DosDate(2021, 6, 15);
  std::uint16_t versionMadeBy = 20;
  std::uint16_t internalAttributes = 0;
  std::string extra;         // extra field, in both headers
  std::string entryComment;  // central header only

  // Knobs for hostile archives; each changes only what it names.
  // Bytes written as the entry's data in place of the stored or deflated data.
  std::optional<std::string> rawData;
  // Edits applied to the computed header fields: to both headers, then to
  // the local or the central one alone (after editBoth).
  std::function<void(ZipHeaderFields&)> editBoth;
  std::function<void(ZipHeaderFields&)> editLocal;
  std::function<void(ZipHeaderFields&)> editCentral;
  // Name in the local header when it differs from the central one.
  std::optional<std::string> localName;
  // Written the way streaming writers do: flag bit 3, CRC-32 and sizes 0 in
  // the local header, a data descriptor (with its signature) after the data.
  bool dataDescriptor = false;
  // Local-header offset stored in the central header, in place of the true one.
  std::optional<std::uint32_t> localHeaderOffset;
  std::uint16_t diskNumberStart = 0;
};

struct ZipArchiveOptions {
  std::string comment;  // the archive comment
  // The declared comment length, in place of the true one.
  std::optional<std::uint16_t> commentLength;
  std::uint16_t thisDisk = 0;
  std::uint16_t centralDirDisk = 0;
  std::optional<std::uint16_t> entriesOnDisk;  // in place of the entry count
  std::optional<std::uint16_t> totalEntries;   // in place of the entry count
  std::optional<std::uint32_t> centralDirOffset;  // in place of the true offset
  // False: offsets count from the archive's start, as if the archive had been
  // appended to the prefix without adjusting them.
  bool offsetsCountPrefix = true;
  // Bytes appended after the end record (beyond its comment).
  std::string trailer;
};

// prefix + an archive of the entries, in order, with its central directory
// and end record.
std::string BuildArchive(const std::vector<ZipWriterEntry>& entries, std::string_view prefix = {},
                         const ZipArchiveOptions& options = {});

// Raw deflate (no zlib header) of data at the default level.
std::string RawDeflate(std::string_view data);

// CRC-32 of data, as ZIP stores it.
std::uint32_t Crc32(std::string_view data);

// Deterministic bytes that compress about as well as program code: runs of
// repeated instruction-like patterns mixed with pseudo-random noise.
std::string ProgramLikeBytes(std::size_t size, std::uint32_t seed = 1);

// Deterministic pseudo-random bytes that do not compress.
std::string RandomBytes(std::size_t size, std::uint32_t seed = 1);

}  // namespace packprobe::testsupport
