// The engines under detail::Inflater: each library's calls behind the same
// functions. Internal to zip/.
#pragma once

#include <cstddef>
#include <cstdint>

#include "zip/inflater.h"

namespace vekzip::detail {

#define PACKPROBE_INFLATE_ENGINE_FUNCTIONS                                                 \
  void* Init(Inflater::InitResult* result);                                                \
  void End(void* state);                                                                   \
  void SetInput(void* state, const unsigned char* data, std::uint32_t size);               \
  std::uint32_t InputLeft(const void* state);                                              \
  /* *finished: the final block is complete and all of its output is out. */              \
  Inflater::Status Inflate(void* state, unsigned char* out, std::uint32_t size,            \
                           std::uint32_t* written, bool* finished);                       \
  std::uint32_t Crc32(std::uint32_t crc, const unsigned char* data, std::size_t length);

namespace zlib_engine {
PACKPROBE_INFLATE_ENGINE_FUNCTIONS
}  // namespace zlib_engine

namespace isal_engine {
PACKPROBE_INFLATE_ENGINE_FUNCTIONS
}  // namespace isal_engine

#undef PACKPROBE_INFLATE_ENGINE_FUNCTIONS

}  // namespace vekzip::detail
