#include <zlib.h>

#include <limits>
#include <new>

#include "platform/heap.h"
#include "zip/inflater.h"

namespace vekzip::detail {

void InflaterDeleter::operator()(Inflater* inflater) const {
  if (inflater == nullptr) return;
  inflater->~Inflater();
  packprobe::platform::HeapRelease(inflater);
}

namespace {

// zlib's allocations go to the process heap like the reader's own buffers.
voidpf Allocate(voidpf, uInt items, uInt size) {
  if (size != 0 && items > std::numeric_limits<std::size_t>::max() / size) return Z_NULL;
  return packprobe::platform::HeapAllocate(std::size_t{items} * size);
}

void Release(voidpf, voidpf block) { packprobe::platform::HeapRelease(block); }

class ZlibInflater final : public Inflater {
 public:
  ZlibInflater() {
    stream_.zalloc = Allocate;
    stream_.zfree = Release;
    stream_.opaque = Z_NULL;
  }
  ~ZlibInflater() override {
    if (initialised_) inflateEnd(&stream_);
  }

  InflaterInit Init() {
    const int init = inflateInit2(&stream_, -MAX_WBITS);
    initialised_ = init == Z_OK;
    return initialised_ ? InflaterInit::kOk
           : init == Z_MEM_ERROR ? InflaterInit::kNoMemory
                                 : InflaterInit::kFailed;
  }

  void SetInput(const unsigned char* data, std::uint32_t size) override {
    stream_.next_in = const_cast<unsigned char*>(data);
    stream_.avail_in = size;
  }
  std::uint32_t InputLeft() const override { return stream_.avail_in; }

  Status Inflate(unsigned char* out, std::uint32_t size, std::uint32_t* written) override {
    *written = 0;
    if (finished_) return Status::kStreamEnd;
    const uInt inputBefore = stream_.avail_in;
    stream_.next_out = out;
    stream_.avail_out = size;
    const int result = inflate(&stream_, Z_SYNC_FLUSH);
    *written = size - stream_.avail_out;
    switch (result) {
      case Z_OK:
        // zlib reports a call without progress as Z_BUF_ERROR; should it
        // not, the caller must still see the stall.
        return *written == 0 && stream_.avail_in == inputBefore ? Status::kStalled
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

 private:
  z_stream stream_{};
  bool initialised_ = false;
  bool finished_ = false;
};

InflaterInit Create(InflaterPtr* out) {
  void* memory = packprobe::platform::HeapAllocate(sizeof(ZlibInflater));
  if (memory == nullptr) return InflaterInit::kNoMemory;
  ZlibInflater* inflater = new (memory) ZlibInflater;
  InflaterPtr owned(inflater);
  const InflaterInit init = inflater->Init();
  if (init == InflaterInit::kOk) *out = std::move(owned);
  return init;
}

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

constexpr InflateEngine kZlib{"zlib", true, Create, Crc32};

}  // namespace

const InflateEngine& ZlibEngine() { return kZlib; }

}  // namespace vekzip::detail
