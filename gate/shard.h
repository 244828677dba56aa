// Stable shares of a release: workers that name the same folders split the
// paths alike, whatever their machine, and together check every path once.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace packprobe::gate {

struct Shard {
  std::uint32_t index = 0;  // K, from 0
  std::uint32_t count = 1;  // N
  bool operator==(const Shard&) const = default;
};

// "K/N" with decimal digits only and 0 <= K < N < 2^32; nothing for any
// other text ("0/3/3", "1/", " 0/2", "-1/2").
std::optional<Shard> ParseShard(std::string_view text);

// "K/N".
std::string ShardText(const Shard& shard);

// FNV-1a, 64 bits, of the bytes of text.
std::uint64_t Fnv1a64(std::string_view text);

// The share (0 to count - 1) of a path by its key, the path relative to the
// folder named (the file name for a file named directly): FNV-1a 64 of the
// key modulo count. A contract between workers: it never changes.
std::uint32_t ShareOf(std::string_view key, std::uint32_t count);

}  // namespace packprobe::gate
