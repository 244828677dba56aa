#include <windows.h>

#include "platform/shift_jis.h"
#include "util/text.h"

namespace packprobe::platform {

std::optional<char16_t> DecodeShiftJisPair(std::uint8_t lead, std::uint8_t trail) {
  const char bytes[2] = {static_cast<char>(lead), static_cast<char>(trail)};
  wchar_t wide[2] = {};
  // Code page 932 by number, not CP_ACP: the result must not depend on the
  // user's code page. MB_ERR_INVALID_CHARS makes a bad pair fail instead of
  // turning into a default character.
  const int count = MultiByteToWideChar(932, MB_ERR_INVALID_CHARS, bytes, 2, wide, 2);
  if (count != 1) return std::nullopt;
  const char16_t unit = static_cast<char16_t>(wide[0]);
  if (IsSurrogate(unit)) return std::nullopt;
  return unit;
}

}  // namespace packprobe::platform
