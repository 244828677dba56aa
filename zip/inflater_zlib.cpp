#include <zlib.h>

#include <limits>
#include <new>

#include "platform/heap.h"
#include "zip/inflater.h"

namespace vekzip::detail {
namespace {

// zlib's allocations go to the process heap like the reader's own buffers.
voidpf Allocate(voidpf, uInt items, uInt size) {
  if (size != 0 && items > std::numeric_limits<std::size_t>::max() / size) return Z_NULL;
  return packprobe::platform::HeapAllocate(std::size_t{items} * size);
}

void Release(voidpf, voidpf block) { packprobe::platform::HeapRelease(block); }

z_stream& Stream(void* state) { return *static_cast<z_stream*>(state); }

}  // namespace

const char* const kInflateBackend = "zlib";

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

Inflater::InitResult Inflater::Init() {
  End();
  finished_ = false;
  void* memory = packprobe::platform::HeapAllocate(sizeof(z_stream));
  if (memory == nullptr) return InitResult::kNoMemory;
  z_stream* stream = new (memory) z_stream{};
  stream->zalloc = Allocate;
  stream->zfree = Release;
  stream->opaque = Z_NULL;
  if (const int result = inflateInit2(stream, -MAX_WBITS); result != Z_OK) {
    packprobe::platform::HeapRelease(memory);
    return result == Z_MEM_ERROR ? InitResult::kNoMemory : InitResult::kFailed;
  }
  state_ = memory;
  return InitResult::kOk;
}

void Inflater::End() {
  if (state_ == nullptr) return;
  inflateEnd(&Stream(state_));
  packprobe::platform::HeapRelease(state_);
  state_ = nullptr;
}

void Inflater::SetInput(const unsigned char* data, std::uint32_t size) {
  Stream(state_).next_in = const_cast<unsigned char*>(data);
  Stream(state_).avail_in = size;
}

std::uint32_t Inflater::inputLeft() const { return Stream(state_).avail_in; }

Inflater::Status Inflater::Inflate(unsigned char* out, std::uint32_t size,
                                   std::uint32_t* written) {
  *written = 0;
  if (finished_) return Status::kStreamEnd;
  z_stream& stream = Stream(state_);
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
      finished_ = true;
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

}  // namespace vekzip::detail
