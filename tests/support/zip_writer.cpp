#include "tests/support/zip_writer.h"

#include <zlib.h>

#include <algorithm>
#include <iterator>
#include <stdexcept>

namespace packprobe::testsupport {
namespace {

void PutU16(std::string& out, std::uint32_t value) {
  out.push_back(static_cast<char>(value & 0xFF));
  out.push_back(static_cast<char>(value >> 8 & 0xFF));
}

void PutU32(std::string& out, std::uint32_t value) {
  PutU16(out, value & 0xFFFF);
  PutU16(out, value >> 16);
}

std::uint32_t Narrow32(std::size_t value) {
  if (value > 0xFFFFFFFFu) throw std::length_error("archive too large for 32-bit offsets");
  return static_cast<std::uint32_t>(value);
}

std::uint16_t Narrow16(std::size_t value) {
  if (value > 0xFFFF) throw std::length_error("field longer than 65,535 bytes");
  return static_cast<std::uint16_t>(value);
}

// A small xorshift generator: the same bytes on every platform and run.
struct Random {
  std::uint32_t state;
  explicit Random(std::uint32_t seed) : state(seed ? seed : 0x9E3779B9u) {}
  std::uint32_t Next() {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return state;
  }
};

}  // namespace

std::uint32_t Crc32(std::string_view data) {
  uLong crc = crc32(0L, Z_NULL, 0);
  while (!data.empty()) {
    const uInt n = static_cast<uInt>(std::min<std::size_t>(data.size(), 1u << 30));
    crc = crc32(crc, reinterpret_cast<const Bytef*>(data.data()), n);
    data.remove_prefix(n);
  }
  return static_cast<std::uint32_t>(crc);
}

std::string RawDeflate(std::string_view data) {
  z_stream stream{};
  if (deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
    throw std::runtime_error("deflateInit2 failed");
  }
  std::string out;
  char chunk[65536];
  std::size_t offset = 0;
  int flush = Z_NO_FLUSH;
  int status = Z_OK;
  while (status != Z_STREAM_END) {
    if (stream.avail_in == 0 && flush == Z_NO_FLUSH) {
      const std::size_t n = std::min<std::size_t>(data.size() - offset, 1u << 20);
      stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data() + offset));
      stream.avail_in = static_cast<uInt>(n);
      offset += n;
      if (offset == data.size()) flush = Z_FINISH;
    }
    stream.next_out = reinterpret_cast<Bytef*>(chunk);
    stream.avail_out = sizeof chunk;
    status = deflate(&stream, flush);
    if (status == Z_STREAM_ERROR) {
      deflateEnd(&stream);
      throw std::runtime_error("deflate failed");
    }
    out.append(chunk, sizeof chunk - stream.avail_out);
  }
  deflateEnd(&stream);
  return out;
}

std::string BuildArchive(const std::vector<ZipWriterEntry>& entries, std::string_view prefix,
                         const ZipArchiveOptions& options) {
  std::string out(prefix);
  const std::size_t base = options.offsetsCountPrefix ? 0 : prefix.size();
  std::string central;

  for (const ZipWriterEntry& entry : entries) {
    const std::string payload =
        entry.rawData ? *entry.rawData : entry.deflate ? RawDeflate(entry.data) : entry.data;
    ZipHeaderFields fields;
    fields.versionNeeded = 20;
    fields.flags = entry.dataDescriptor ? 0x0008 : 0;
    fields.method = entry.deflate ? 8 : 0;
    fields.dosTime = entry.dosTime;
    fields.dosDate = entry.dosDate;
    fields.crc = Crc32(entry.data);
    fields.compressedSize = Narrow32(payload.size());
    fields.uncompressedSize = Narrow32(entry.data.size());
    if (entry.editBoth) entry.editBoth(fields);
    ZipHeaderFields local = fields;
    ZipHeaderFields centralFields = fields;
    if (entry.dataDescriptor) local.crc = local.compressedSize = local.uncompressedSize = 0;
    if (entry.editLocal) entry.editLocal(local);
    if (entry.editCentral) entry.editCentral(centralFields);
    const std::string& localName = entry.localName ? *entry.localName : entry.name;

    const std::uint32_t localOffset = Narrow32(out.size() - base);
    PutU32(out, 0x04034B50);
    PutU16(out, local.versionNeeded);
    PutU16(out, local.flags);
    PutU16(out, local.method);
    PutU16(out, local.dosTime);
    PutU16(out, local.dosDate);
    PutU32(out, local.crc);
    PutU32(out, local.compressedSize);
    PutU32(out, local.uncompressedSize);
    PutU16(out, Narrow16(localName.size()));
    PutU16(out, Narrow16(entry.extra.size()));
    out += localName;
    out += entry.extra;
    out += payload;
    if (entry.dataDescriptor) {
      PutU32(out, 0x08074B50);
      PutU32(out, fields.crc);
      PutU32(out, fields.compressedSize);
      PutU32(out, fields.uncompressedSize);
    }

    PutU32(central, 0x02014B50);
    PutU16(central, entry.versionMadeBy);
    PutU16(central, centralFields.versionNeeded);
    PutU16(central, centralFields.flags);
    PutU16(central, centralFields.method);
    PutU16(central, centralFields.dosTime);
    PutU16(central, centralFields.dosDate);
    PutU32(central, centralFields.crc);
    PutU32(central, centralFields.compressedSize);
    PutU32(central, centralFields.uncompressedSize);
    PutU16(central, Narrow16(entry.name.size()));
    PutU16(central, Narrow16(entry.extra.size()));
    PutU16(central, Narrow16(entry.entryComment.size()));
    PutU16(central, entry.diskNumberStart);
    PutU16(central, entry.internalAttributes);
    PutU32(central, entry.externalAttributes);
    PutU32(central, entry.localHeaderOffset ? *entry.localHeaderOffset : localOffset);
    central += entry.name;
    central += entry.extra;
    central += entry.entryComment;
  }

  const std::uint32_t centralOffset = Narrow32(out.size() - base);
  out += central;
  const std::uint16_t count = Narrow16(entries.size());
  PutU32(out, 0x06054B50);
  PutU16(out, options.thisDisk);
  PutU16(out, options.centralDirDisk);
  PutU16(out, options.entriesOnDisk ? *options.entriesOnDisk : count);
  PutU16(out, options.totalEntries ? *options.totalEntries : count);
  PutU32(out, Narrow32(central.size()));
  PutU32(out, options.centralDirOffset ? *options.centralDirOffset : centralOffset);
  PutU16(out, options.commentLength ? *options.commentLength : Narrow16(options.comment.size()));
  out += options.comment;
  out += options.trailer;
  return out;
}

std::string ProgramLikeBytes(std::size_t size, std::uint32_t seed) {
  // A vocabulary of short "instructions"; the output strings them together
  // with operands drawn at random, so that deflate finds repeats at about
  // the density of compiled code (a ratio near 2.5:1).
  static constexpr std::string_view kOpcodes[] = {
      "\x55\x8B\xEC", "\x83\xEC", "\x8B\x45", "\x89\x45", "\xE8", "\xFF\x15", "\x33\xC0",
      "\x5D\xC3",     "\x6A\x00", "\x50",     "\x8D\x4D", "\x85\xC0", "\x74", "\x75",
      "\xC7\x45",     "\x8B\x4D", "\x0F\x84", "\x3B\xC1", "\x53\x56\x57", "\xCC\xCC\xCC\xCC"};
  Random random(seed);
  std::string out;
  out.reserve(size);
  while (out.size() < size) {
    const std::uint32_t r = random.Next();
    out += kOpcodes[r % std::size(kOpcodes)];
    const int operands = static_cast<int>(r >> 8 & 1);
    for (int i = 0; i < operands; ++i) {
      // Operands are mostly small offsets; some are full random words.
      const std::uint32_t v = random.Next();
      out.push_back(static_cast<char>((v & 7) == 0 ? v >> 8 & 0xFF : v >> 8 & 0x0C));
    }
  }
  out.resize(size);
  return out;
}

std::string RandomBytes(std::size_t size, std::uint32_t seed) {
  Random random(seed);
  std::string out(size, '\0');
  std::size_t i = 0;
  for (; i + 4 <= size; i += 4) {
    const std::uint32_t v = random.Next();
    out[i] = static_cast<char>(v);
    out[i + 1] = static_cast<char>(v >> 8);
    out[i + 2] = static_cast<char>(v >> 16);
    out[i + 3] = static_cast<char>(v >> 24);
  }
  for (; i < size; ++i) out[i] = static_cast<char>(random.Next());
  return out;
}

}  // namespace packprobe::testsupport
