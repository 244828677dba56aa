#include <isa-l/crc.h>
#include <isa-l/igzip_lib.h>

#include <new>

#include "platform/heap.h"
#include "zip/inflate_engines.h"

namespace vekzip::detail::isal_engine {
namespace {

inflate_state& State(void* state) { return *static_cast<inflate_state*>(state); }

}  // namespace

std::uint32_t Crc32(std::uint32_t crc, const unsigned char* data, std::size_t length) {
  // The reflected CRC-32 of gzip and ZIP, continued like zlib's crc32.
  return length == 0 ? crc : crc32_gzip_refl(crc, data, length);
}

void* Init(Inflater::InitResult* result) {
  void* memory = packprobe::platform::HeapAllocate(sizeof(inflate_state));
  if (memory == nullptr) {
    *result = Inflater::InitResult::kNoMemory;
    return nullptr;
  }
  inflate_state* state = new (memory) inflate_state;
  isal_inflate_init(state);
  state->crc_flag = ISAL_DEFLATE;  // raw deflate, no header, no check value
  state->hist_bits = 15;           // the 32 KiB window of ZIP's deflate
  *result = Inflater::InitResult::kOk;
  return memory;
}

void End(void* state) { packprobe::platform::HeapRelease(state); }

void SetInput(void* state, const unsigned char* data, std::uint32_t size) {
  State(state).next_in = const_cast<unsigned char*>(data);
  State(state).avail_in = size;
}

std::uint32_t InputLeft(const void* state) {
  return static_cast<const inflate_state*>(state)->avail_in;
}

Inflater::Status Inflate(void* state, unsigned char* out, std::uint32_t size,
                         std::uint32_t* written, bool* finished) {
  using Status = Inflater::Status;
  inflate_state& s = State(state);
  const std::uint32_t inputBefore = s.avail_in;
  s.next_out = out;
  s.avail_out = size;
  const int result = isal_inflate(&s);
  *written = size - s.avail_out;
  if (result < 0 || result == ISAL_NEED_DICT) {
    // Invalid block, symbol or distance: corrupt data, as zlib's
    // Z_DATA_ERROR. ISA-L allocates nothing, so it never runs out of memory.
    return result == ISAL_INVALID_BLOCK || result == ISAL_INVALID_SYMBOL ||
                   result == ISAL_INVALID_LOOKBACK || result == ISAL_NEED_DICT
               ? Status::kCorrupt
               : Status::kFailed;
  }
  if (s.block_state == ISAL_BLOCK_FINISH) {
    *finished = true;
    return Status::kStreamEnd;
  }
  return *written == 0 && s.avail_in == inputBefore ? Status::kStalled : Status::kProgress;
}

}  // namespace vekzip::detail::isal_engine
