// A bounds-checked little-endian reader over a span of bytes.
//
// Every binary format of the program (archive records, program headers,
// resource trees, version blocks) is decoded through this one class. Reads
// report failure as a value and never touch a byte outside the span.
//
// Formats give a failed read their own meaning. The PE reader refuses the
// structure. The archive reader (zip/zip_file.cpp) takes each record's bytes
// from the file as far as the file has them and decodes the record with a
// reader over just those bytes; a field that does not fit reads as 0, because
// the archive format is read as if one byte at a time from the file, where a
// field cut off by the end of the file counts as 0 and the signature checks
// that follow catch the misplaced read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace packprobe {

class ByteReader {
 public:
  ByteReader() = default;
  explicit ByteReader(std::span<const std::uint8_t> data) : data_(data) {}

  std::size_t size() const { return data_.size(); }
  std::span<const std::uint8_t> bytes() const { return data_; }

  // True when [offset, offset + length) lies inside the data. Cannot overflow.
  bool Contains(std::size_t offset, std::size_t length) const {
    return offset <= data_.size() && length <= data_.size() - offset;
  }

  bool ReadU16(std::size_t offset, std::uint16_t* out) const {
    if (!Contains(offset, 2)) return false;
    *out = static_cast<std::uint16_t>(std::uint16_t{data_[offset]} |
                                      std::uint16_t{data_[offset + 1]} << 8);
    return true;
  }

  bool ReadU32(std::size_t offset, std::uint32_t* out) const {
    if (!Contains(offset, 4)) return false;
    *out = std::uint32_t{data_[offset]} | std::uint32_t{data_[offset + 1]} << 8 |
           std::uint32_t{data_[offset + 2]} << 16 | std::uint32_t{data_[offset + 3]} << 24;
    return true;
  }

  bool ReadU64(std::size_t offset, std::uint64_t* out) const {
    std::uint32_t low = 0, high = 0;
    if (!ReadU32(offset, &low) || !ReadU32(offset + 4, &high)) return false;
    *out = std::uint64_t{high} << 32 | low;
    return true;
  }

  // The sub-range [offset, offset + length), or nothing when it does not fit.
  std::optional<ByteReader> Sub(std::size_t offset, std::size_t length) const {
    if (!Contains(offset, length)) return std::nullopt;
    return ByteReader(data_.subspan(offset, length));
  }

 private:
  std::span<const std::uint8_t> data_;
};

// Decoders for bytes already known to be in range, for code that has checked
// a whole record at once.
inline std::uint32_t DecodeU32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
         std::uint32_t{p[3]} << 24;
}

}  // namespace packprobe
