// Compiled when ISA-L is the build's inflate engine (zip/CMakeLists.txt).
#include <isa-l/crc.h>
#include <isa-l/igzip_lib.h>

#include <new>

#include "platform/heap.h"
#include "zip/inflater.h"

namespace vekzip::detail {
namespace {

class IsalInflater final : public Inflater {
 public:
  IsalInflater() {
    isal_inflate_init(&state_);
    state_.crc_flag = ISAL_DEFLATE;  // raw deflate, no header, no check value
    state_.hist_bits = 15;           // the 32 KiB window of ZIP's deflate
  }

  void SetInput(const unsigned char* data, std::uint32_t size) override {
    state_.next_in = const_cast<unsigned char*>(data);
    state_.avail_in = size;
  }
  std::uint32_t InputLeft() const override { return state_.avail_in; }

  Status Inflate(unsigned char* out, std::uint32_t size, std::uint32_t* written) override {
    *written = 0;
    if (finished_) return Status::kStreamEnd;
    const std::uint32_t inputBefore = state_.avail_in;
    state_.next_out = out;
    state_.avail_out = size;
    const int result = isal_inflate(&state_);
    *written = size - state_.avail_out;
    if (result < 0 || result == ISAL_NEED_DICT) {
      // Invalid block, symbol or distance: corrupt data, as zlib's
      // Z_DATA_ERROR. ISA-L allocates nothing, so it never runs out of
      // memory.
      return result == ISAL_INVALID_BLOCK || result == ISAL_INVALID_SYMBOL ||
                     result == ISAL_INVALID_LOOKBACK || result == ISAL_NEED_DICT
                 ? Status::kCorrupt
                 : Status::kFailed;
    }
    if (state_.block_state == ISAL_BLOCK_FINISH) {
      finished_ = true;
      return Status::kStreamEnd;
    }
    return *written == 0 && state_.avail_in == inputBefore ? Status::kStalled : Status::kProgress;
  }

 private:
  inflate_state state_{};
  bool finished_ = false;
};

InflaterInit Create(InflaterPtr* out) {
  void* memory = packprobe::platform::HeapAllocate(sizeof(IsalInflater));
  if (memory == nullptr) return InflaterInit::kNoMemory;
  out->reset(new (memory) IsalInflater);
  return InflaterInit::kOk;
}

std::uint32_t Crc32(std::uint32_t crc, const unsigned char* data, std::size_t length) {
  // The reflected CRC-32 of gzip and ZIP, continued like zlib's crc32.
  return length == 0 ? crc : crc32_gzip_refl(crc, data, length);
}

constexpr InflateEngine kIsal{"ISA-L", false, Create, Crc32};

}  // namespace

const InflateEngine& BuildEngine() { return kIsal; }

}  // namespace vekzip::detail
