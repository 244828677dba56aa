#include <isa-l/crc.h>
#include <isa-l/igzip_lib.h>

#include <new>

#include "platform/heap.h"
#include "zip/inflater.h"

namespace vekzip::detail {
namespace {

inflate_state& State(void* state) { return *static_cast<inflate_state*>(state); }

}  // namespace

const char* const kInflateBackend = "ISA-L";

std::uint32_t Crc32(std::uint32_t crc, const unsigned char* data, std::size_t length) {
  // The reflected CRC-32 of gzip and ZIP, continued like zlib's crc32.
  return length == 0 ? crc : crc32_gzip_refl(crc, data, length);
}

Inflater::InitResult Inflater::Init() {
  End();
  finished_ = false;
  void* memory = packprobe::platform::HeapAllocate(sizeof(inflate_state));
  if (memory == nullptr) return InitResult::kNoMemory;
  inflate_state* state = new (memory) inflate_state;
  isal_inflate_init(state);
  state->crc_flag = ISAL_DEFLATE;  // raw deflate, no header, no check value
  state->hist_bits = 15;           // the 32 KiB window of ZIP's deflate
  state_ = memory;
  return InitResult::kOk;
}

void Inflater::End() {
  if (state_ == nullptr) return;
  packprobe::platform::HeapRelease(state_);
  state_ = nullptr;
}

void Inflater::SetInput(const unsigned char* data, std::uint32_t size) {
  State(state_).next_in = const_cast<unsigned char*>(data);
  State(state_).avail_in = size;
}

std::uint32_t Inflater::inputLeft() const { return State(state_).avail_in; }

Inflater::Status Inflater::Inflate(unsigned char* out, std::uint32_t size,
                                   std::uint32_t* written) {
  *written = 0;
  if (finished_) return Status::kStreamEnd;
  inflate_state& state = State(state_);
  const std::uint32_t inputBefore = state.avail_in;
  state.next_out = out;
  state.avail_out = size;
  const int result = isal_inflate(&state);
  *written = size - state.avail_out;
  if (result < 0 || result == ISAL_NEED_DICT) {
    // Invalid block, symbol or distance: corrupt data, as zlib's
    // Z_DATA_ERROR; ISA-L allocates nothing, so it never runs out of memory.
    return result == ISAL_INVALID_BLOCK || result == ISAL_INVALID_SYMBOL ||
                   result == ISAL_INVALID_LOOKBACK || result == ISAL_NEED_DICT
               ? Status::kCorrupt
               : Status::kFailed;
  }
  if (state.block_state == ISAL_BLOCK_FINISH) {
    finished_ = true;
    return Status::kStreamEnd;
  }
  return *written == 0 && state.avail_in == inputBefore ? Status::kStalled : Status::kProgress;
}

}  // namespace vekzip::detail
