// The raw-deflate decoder and CRC-32 under entry extraction. The fast
// engine is chosen when the program is configured (PACKPROBE_INFLATE): ISA-L
// (inflater_isal.cpp) or zlib (inflater_zlib.cpp). zlib is also there in
// every build as the reference engine: the two accept slightly different
// sets of damaged streams (zlib refuses incomplete Huffman code sets, ISA-L
// decodes them), so an extraction that fails on ISA-L is run again on zlib,
// whose outcome decides. ZIP_FileEntry::Read turns outcomes into result
// codes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vekzip::detail {

// The CRC-32 that ZIP stores, continued from crc (0 to start).
std::uint32_t Crc32(std::uint32_t crc, const unsigned char* data, std::size_t length);

// The library of the fast engine, for benchmarks and reports: "zlib" or
// "ISA-L".
extern const char* const kInflateBackend;

// True when the fast engine is not the reference engine, so that failures
// are decided again by the reference.
bool FailuresNeedReference();

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
  enum class Engine { kFast, kReference };

  Inflater() = default;
  ~Inflater() { End(); }
  Inflater(const Inflater&) = delete;
  Inflater& operator=(const Inflater&) = delete;

  // Sets up a raw-deflate decoder (32 KiB window, no header). Its state
  // comes from the process heap, so that simulated exhaustion reaches it.
  InitResult Init(Engine engine = Engine::kFast);
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
  bool reference_ = false;  // state_ is zlib's
};

}  // namespace vekzip::detail
