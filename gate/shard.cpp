#include "gate/shard.h"

namespace packprobe::gate {
namespace {

// The decimal number of text, which holds only digits; nothing when it is
// empty or at least limit.
std::optional<std::uint64_t> Decimal(std::string_view text, std::uint64_t limit) {
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
    if (value >= limit) return std::nullopt;
  }
  return value;
}

}  // namespace

std::optional<Shard> ParseShard(std::string_view text) {
  const std::size_t slash = text.find('/');
  if (slash == text.npos) return std::nullopt;
  constexpr std::uint64_t kLimit = std::uint64_t{1} << 32;
  const auto k = Decimal(text.substr(0, slash), kLimit);
  const auto n = Decimal(text.substr(slash + 1), kLimit);
  if (!k || !n || *n < 1 || *k >= *n) return std::nullopt;
  return Shard{static_cast<std::uint32_t>(*k), static_cast<std::uint32_t>(*n)};
}

std::string ShardText(const Shard& shard) {
  return std::to_string(shard.index) + "/" + std::to_string(shard.count);
}

std::uint64_t Fnv1a64(std::string_view text) {
  std::uint64_t hash = 0xCBF29CE484222325ull;
  for (const char c : text) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 0x100000001B3ull;
  }
  return hash;
}

std::uint32_t ShareOf(std::string_view key, std::uint32_t count) {
  return static_cast<std::uint32_t>(Fnv1a64(key) % (count == 0 ? 1 : count));
}

}  // namespace packprobe::gate
