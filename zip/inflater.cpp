#include "zip/inflater.h"

#include "zip/inflate_engines.h"

// PACKPROBE_INFLATE_ISAL is defined by zip/CMakeLists.txt when ISA-L is the
// fast engine.
#if defined(PACKPROBE_INFLATE_ISAL)
namespace fast = vekzip::detail::isal_engine;
#else
namespace fast = vekzip::detail::zlib_engine;
#endif
namespace reference = vekzip::detail::zlib_engine;

namespace vekzip::detail {

#if defined(PACKPROBE_INFLATE_ISAL)
const char* const kInflateBackend = "ISA-L";
bool FailuresNeedReference() { return true; }
#else
const char* const kInflateBackend = "zlib";
bool FailuresNeedReference() { return false; }
#endif

std::uint32_t Crc32(std::uint32_t crc, const unsigned char* data, std::size_t length) {
  return fast::Crc32(crc, data, length);
}

Inflater::InitResult Inflater::Init(Engine engine) {
  End();
  finished_ = false;
  reference_ = engine == Engine::kReference;
  InitResult result = InitResult::kFailed;
  state_ = reference_ ? reference::Init(&result) : fast::Init(&result);
  return result;
}

void Inflater::End() {
  if (state_ == nullptr) return;
  if (reference_) {
    reference::End(state_);
  } else {
    fast::End(state_);
  }
  state_ = nullptr;
}

void Inflater::SetInput(const unsigned char* data, std::uint32_t size) {
  if (reference_) {
    reference::SetInput(state_, data, size);
  } else {
    fast::SetInput(state_, data, size);
  }
}

std::uint32_t Inflater::inputLeft() const {
  return reference_ ? reference::InputLeft(state_) : fast::InputLeft(state_);
}

Inflater::Status Inflater::Inflate(unsigned char* out, std::uint32_t size,
                                   std::uint32_t* written) {
  *written = 0;
  if (finished_) return Status::kStreamEnd;
  return reference_ ? reference::Inflate(state_, out, size, written, &finished_)
                    : fast::Inflate(state_, out, size, written, &finished_);
}

}  // namespace vekzip::detail
