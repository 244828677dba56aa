#include <iconv.h>

#include <array>
#include <cstddef>

#include "platform/shift_jis.h"
#include "util/text.h"

namespace packprobe::platform {
namespace {

// Every lead byte from 0x80 on, each with every trail byte. Lead bytes below
// 0x80 stand for characters of their own and never start a pair.
constexpr std::size_t kFirstLead = 0x80;
constexpr std::size_t kTableSize = (0x100 - kFirstLead) * 0x100;

// The table holds 0 for a pair that does not decode: no pair of code page 932
// stands for U+0000.
using PairTable = std::array<char16_t, kTableSize>;

// Decodes one pair through iconv; 0 when it is not exactly one BMP character.
char16_t DecodeWithIconv(iconv_t converter, std::uint8_t lead, std::uint8_t trail) {
  char input[2] = {static_cast<char>(lead), static_cast<char>(trail)};
  char output[8] = {};
  char* in = input;
  char* out = output;
  std::size_t inLeft = sizeof input;
  std::size_t outLeft = sizeof output;
  iconv(converter, nullptr, nullptr, nullptr, nullptr);
  if (iconv(converter, &in, &inLeft, &out, &outLeft) == static_cast<std::size_t>(-1)) return 0;
  if (inLeft != 0 || sizeof output - outLeft != 2) return 0;
  const char16_t unit = static_cast<char16_t>(static_cast<unsigned char>(output[0]) |
                                              static_cast<unsigned char>(output[1]) << 8);
  if (IsSurrogate(unit)) return 0;
  return unit;
}

// Built once, on first use: iconv's converter is slow to open and not safe to
// share between threads, a finished table is both fast and safe.
const PairTable& Table() {
  static const PairTable table = [] {
    PairTable built{};
    const iconv_t converter = iconv_open("UTF-16LE", "CP932");
    if (converter == reinterpret_cast<iconv_t>(-1)) return built;
    for (std::size_t i = 0; i < kTableSize; ++i) {
      built[i] = DecodeWithIconv(converter, static_cast<std::uint8_t>(kFirstLead + i / 0x100),
                                 static_cast<std::uint8_t>(i % 0x100));
    }
    iconv_close(converter);
    return built;
  }();
  return table;
}

}  // namespace

std::optional<char16_t> DecodeShiftJisPair(std::uint8_t lead, std::uint8_t trail) {
  if (lead < kFirstLead) return std::nullopt;
  const char16_t unit = Table()[(lead - kFirstLead) * 0x100 + trail];
  if (unit == 0) return std::nullopt;
  return unit;
}

}  // namespace packprobe::platform
