// The raw-deflate decoder and CRC-32 under entry extraction, as one small
// interface with one implementation per library:
//
//   zip/inflater_zlib.cpp   zlib, in every build
//   zip/inflater_isal.cpp   ISA-L, the build's engine where ISA-L was chosen
//   zip/build_engine_zlib.cpp   makes zlib the build's engine otherwise
//
// zip/CMakeLists.txt compiles exactly one of the last two. zlib decides
// every failure: the two libraries accept slightly different sets of damaged
// streams (zlib refuses incomplete Huffman code sets, ISA-L decodes them), so
// a read that fails on another engine is run again on zlib, whose outcome
// stands (see ZIP_FileEntry::Read).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace vekzip::detail {

class Inflater {
 public:
  enum class Status {
    kProgress,   // input was taken or output made; the stream goes on
    kStreamEnd,  // the final block is complete and all of its output is out
    kStalled,    // nothing could be done: more input is needed
    kCorrupt,    // the data is not valid deflate data
    kNoMemory,   // the decoder could not allocate what it needs
    kFailed,     // any other failure of the library
  };

  virtual ~Inflater() = default;

  // The next input; the bytes must stay valid until they are taken.
  virtual void SetInput(const unsigned char* data, std::uint32_t size) = 0;
  virtual std::uint32_t InputLeft() const = 0;

  // Decodes into out (size above 0); *written is what was produced. Once
  // the stream has ended, every further call gives kStreamEnd.
  virtual Status Inflate(unsigned char* out, std::uint32_t size, std::uint32_t* written) = 0;
};

// Engines live on the process heap, so that simulated exhaustion reaches
// them; this returns one there.
struct InflaterDeleter {
  void operator()(Inflater* inflater) const;
};
using InflaterPtr = std::unique_ptr<Inflater, InflaterDeleter>;

enum class InflaterInit { kOk, kNoMemory, kFailed };

// One inflate library: how to make a raw-deflate decoder (32 KiB window, no
// header) and how to continue a CRC-32.
struct InflateEngine {
  const char* name;  // "zlib" or "ISA-L", for benchmarks and reports
  // True for zlib, whose results decide; false for an engine whose failures
  // are decided again by zlib.
  bool decides;
  InflaterInit (*create)(InflaterPtr* out);
  // The CRC-32 that ZIP stores, continued from crc (0 to start).
  std::uint32_t (*crc32)(std::uint32_t crc, const unsigned char* data, std::size_t length);
};

// zlib: the engine that decides failures.
const InflateEngine& ZlibEngine();

// The engine this build extracts with (zlib or ISA-L).
const InflateEngine& BuildEngine();

}  // namespace vekzip::detail
