// The reader of the archive directory's records and fields, internal to
// zip/ (ZIP_File reads the directory with it).
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <span>

#include "platform/file.h"
#include "platform/heap.h"
#include "util/byte_reader.h"

namespace vekzip::detail {

// Reads the directory's records at a current position, with the outcome of
// reading them one byte at a time from the file: a byte that cannot be read
// (past the end of the file, or at or above 2^31) leaves the position where
// it is, and a field missing any of its bytes counts as 0. Underneath, the
// file is read in aligned blocks of 64 KiB, two of them cached, because the
// directory reader alternates between the central directory and the local
// headers and reads both forward: a directory of thousands of entries costs
// a few reads. A record is decoded in place with a ByteReader over the bytes
// the file has; a field of 65,535 bytes spans at most two blocks, which stay
// cached while it is read.
class FieldReader {
  using ByteReader = packprobe::ByteReader;
  using File = packprobe::platform::File;
  using HeapBuffer = packprobe::platform::HeapBuffer;
  // Positions are set as signed 32-bit distances.
  static constexpr std::uint32_t kPositionLimit = 0x80000000u;

 public:
  explicit FieldReader(File& file) : file_(file) {}

  bool SetPosition(std::uint32_t position) {
    if (position >= kPositionLimit) return false;
    position_ = position;
    return true;
  }
  std::uint32_t position() const { return position_; }

  // False when the block buffers cannot be allocated.
  bool Allocate() {
    return blocks_[0].data.Allocate(kBlockSize) && blocks_[1].data.Allocate(kBlockSize);
  }

  // The fixed part of a record, length bytes (at most kMaxRecord), as far as
  // the file has them; the position moves past those. Fields beyond them
  // read as 0 through Field16 and Field32.
  ByteReader Record(std::uint32_t length) {
    if (const Block* block = BlockAt(position_)) {
      const std::uint32_t inBlock = position_ - block->start;
      if (inBlock + length <= block->valid) {  // the usual case: decoded where it lies
        position_ += length;
        return ByteReader(std::span(block->data.data() + inBlock, length));
      }
    }
    std::uint32_t got = 0;
    Visit(length, [&](const unsigned char* bytes, std::uint32_t n) {
      std::memcpy(record_ + got, bytes, n);
      got += n;
    });
    return ByteReader(std::span<const std::uint8_t>(record_, got));
  }

  // Steps over a variable-length field of length bytes (name, extra field,
  // comment) as far as the file has it, and returns the length of its text:
  // the bytes before the first zero.
  std::uint32_t TextField(std::uint32_t length, std::uint32_t* start) {
    *start = position_;
    std::uint32_t text = 0;
    bool ended = false;
    Visit(length, [&](const unsigned char* bytes, std::uint32_t n) {
      if (ended) return;
      const void* zero = std::memchr(bytes, 0, n);
      text += zero ? static_cast<std::uint32_t>(static_cast<const unsigned char*>(zero) - bytes)
                   : n;
      ended = zero != nullptr;
    });
    return text;
  }

  // Copies length bytes at start, all of which TextField has seen, to out.
  void CopyText(std::uint32_t start, std::uint32_t length, char* out) {
    const std::uint32_t resume = position_;
    position_ = start;
    Visit(length, [&](const unsigned char* bytes, std::uint32_t n) {
      std::memcpy(out, bytes, n);
      out += n;
    });
    position_ = resume;
  }

  // Whether the length bytes at start equal text.
  bool SameBytes(std::uint32_t start, std::uint32_t length, const char* text) {
    const std::uint32_t resume = position_;
    position_ = start;
    bool same = true;
    Visit(length, [&](const unsigned char* bytes, std::uint32_t n) {
      same = same && std::memcmp(text, bytes, n) == 0;
      text += n;
    });
    position_ = resume;
    return same;
  }

 private:
  static constexpr std::uint32_t kBlockSize = 65536;
  static constexpr std::uint32_t kMaxRecord = 46;  // a central header, the longest fixed record

  struct Block {
    HeapBuffer data;
    std::uint32_t start = 0;
    std::uint32_t valid = 0;  // bytes read into data; fewer than a block at the end
    bool loaded = false;
    unsigned age = 0;
  };

  // Hands the next bytes, up to length of them, to visit block by block,
  // stopping at the first byte that cannot be read; the position moves past
  // what was handed over.
  template <typename Visitor>
  void Visit(std::uint32_t length, Visitor&& visit) {
    std::uint32_t done = 0;
    while (done < length) {
      const Block* block = BlockAt(position_);
      if (block == nullptr) break;
      const std::uint32_t inBlock = position_ - block->start;
      if (inBlock >= block->valid) break;
      const std::uint32_t n = std::min(length - done, block->valid - inBlock);
      visit(block->data.data() + inBlock, n);
      done += n;
      position_ += n;
    }
  }

  // The cached block holding position, loading it in place of the one used
  // less recently; null when it cannot be read.
  const Block* BlockAt(std::uint32_t position) {
    if (position >= kPositionLimit) return nullptr;
    const std::uint32_t start = position - position % kBlockSize;
    ++clock_;
    for (Block& block : blocks_) {
      if (block.loaded && block.start == start) {
        block.age = clock_;
        return &block;
      }
    }
    Block& victim = blocks_[0].age <= blocks_[1].age ? blocks_[0] : blocks_[1];
    victim.loaded = false;
    std::uint32_t got = 0;
    if (!file_.ReadAt(start, victim.data.data(), kBlockSize, &got)) return nullptr;
    victim.start = start;
    victim.valid = got;
    victim.loaded = true;
    victim.age = clock_;
    return &victim;
  }

  File& file_;
  std::uint32_t position_ = 0;
  Block blocks_[2];
  unsigned clock_ = 0;
  std::uint8_t record_[kMaxRecord] = {};
};

}  // namespace vekzip::detail
