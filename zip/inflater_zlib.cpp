#include <zlib.h>

#include <limits>
#include <new>

#include "platform/heap.h"
#include "zip/inflate_engines.h"

namespace vekzip::detail::zlib_engine {
namespace {

// zlib's allocations go to the process heap like the reader's own buffers.
voidpf Allocate(voidpf, uInt items, uInt size) {
  if (size != 0 && items > std::numeric_limits<std::size_t>::max() / size) return Z_NULL;
  return packprobe::platform::HeapAllocate(std::size_t{items} * size);
}

void Release(voidpf, voidpf block) { packprobe::platform::HeapRelease(block); }

z_stream& Stream(void* state) { return *static_cast<z_stream*>(state); }

}  // namespace

std::uint32_t Crc32(std::uint32_t crc, const unsigned char* data, std::size_t length) {
  // zlib takes at most 4 GiB less one byte per call.
  while (length > 0) {
    const uInt n = length > 0x40000000u ? 0x40000000u : static_cast<uInt>(length);
    crc = static_cast<std::uint32_t>(crc32(crc, data, n));
    data += n;
    length -= n;
  }
  return crc;
}

void* Init(Inflater::InitResult* result) {
  void* memory = packprobe::platform::HeapAllocate(sizeof(z_stream));
  if (memory == nullptr) {
    *result = Inflater::InitResult::kNoMemory;
    return nullptr;
  }
  z_stream* stream = new (memory) z_stream{};
  stream->zalloc = Allocate;
  stream->zfree = Release;
  stream->opaque = Z_NULL;
  if (const int init = inflateInit2(stream, -MAX_WBITS); init != Z_OK) {
    packprobe::platform::HeapRelease(memory);
    *result = init == Z_MEM_ERROR ? Inflater::InitResult::kNoMemory
                                  : Inflater::InitResult::kFailed;
    return nullptr;
  }
  *result = Inflater::InitResult::kOk;
  return memory;
}

void End(void* state) {
  inflateEnd(&Stream(state));
  packprobe::platform::HeapRelease(state);
}

void SetInput(void* state, const unsigned char* data, std::uint32_t size) {
  Stream(state).next_in = const_cast<unsigned char*>(data);
  Stream(state).avail_in = size;
}

std::uint32_t InputLeft(const void* state) {
  return static_cast<const z_stream*>(state)->avail_in;
}

Inflater::Status Inflate(void* state, unsigned char* out, std::uint32_t size,
                         std::uint32_t* written, bool* finished) {
  using Status = Inflater::Status;
  z_stream& stream = Stream(state);
  const uInt inputBefore = stream.avail_in;
  stream.next_out = out;
  stream.avail_out = size;
  const int result = inflate(&stream, Z_SYNC_FLUSH);
  *written = size - stream.avail_out;
  switch (result) {
    case Z_OK:
      // zlib reports a call without progress as Z_BUF_ERROR; should it
      // not, the caller must still see the stall.
      return *written == 0 && stream.avail_in == inputBefore ? Status::kStalled
                                                            : Status::kProgress;
    case Z_STREAM_END:
      *finished = true;
      return Status::kStreamEnd;
    case Z_BUF_ERROR:
      return Status::kStalled;
    case Z_MEM_ERROR:
      return Status::kNoMemory;
    case Z_DATA_ERROR:
    case Z_NEED_DICT:
      return Status::kCorrupt;
    default:
      return Status::kFailed;
  }
}

}  // namespace vekzip::detail::zlib_engine
