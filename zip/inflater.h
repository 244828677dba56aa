// The raw-deflate decoder and CRC-32 under entry extraction, with one
// implementation per library: zlib (inflater_zlib.cpp) or ISA-L
// (inflater_isal.cpp), chosen when the program is configured
// (PACKPROBE_INFLATE). Both give the same bytes and the same outcomes;
// ZIP_FileEntry::Read turns the outcomes into result codes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vekzip::detail {

// The CRC-32 that ZIP stores, continued from crc (0 to start).
std::uint32_t Crc32(std::uint32_t crc, const unsigned char* data, std::size_t length);

// The library doing the work, for benchmarks and reports: "zlib" or "ISA-L".
extern const char* const kInflateBackend;

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
  enum class InitResult { kOk, kNoMemory, kFailed };

  Inflater() = default;
  ~Inflater() { End(); }
  Inflater(const Inflater&) = delete;
  Inflater& operator=(const Inflater&) = delete;

  // Sets up a raw-deflate decoder (32 KiB window, no header). Its state
  // comes from the process heap, so that simulated exhaustion reaches it.
  InitResult Init();
  // Releases the decoder, if set up.
  void End();
  bool active() const { return state_ != nullptr; }

  // The next input; the bytes must stay valid until they are taken.
  void SetInput(const unsigned char* data, std::uint32_t size);
  std::uint32_t inputLeft() const;

  // Decodes into out (size above 0); *written is what was produced.
  Status Inflate(unsigned char* out, std::uint32_t size, std::uint32_t* written);

 private:
  void* state_ = nullptr;
  bool finished_ = false;
};

}  // namespace vekzip::detail
