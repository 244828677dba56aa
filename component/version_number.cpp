#include "component/version_number.h"

#include <algorithm>
#include <iterator>

namespace packprobe {
namespace {

bool IsWideSpace(char16_t c) { return c == u' ' || (c >= u'\t' && c <= u'\r'); }

}  // namespace

std::u16string DropDots(std::u16string_view text) {
  std::u16string digits;
  std::copy_if(text.begin(), text.end(), std::back_inserter(digits),
               [](char16_t c) { return c != u'.'; });
  return digits;
}

std::size_t CountVersionDigits(std::u16string_view text) {
  return static_cast<std::size_t>(std::count_if(text.begin(), text.end(),
                                                [](char16_t c) { return c != u'.'; }));
}

VersionNumber ReadDecimal(std::u16string_view digits) {
  std::size_t i = 0;
  while (i < digits.size() && IsWideSpace(digits[i])) ++i;
  bool negative = false;
  if (i < digits.size() && (digits[i] == u'+' || digits[i] == u'-')) {
    negative = digits[i] == u'-';
    ++i;
  }
  // Seven characters cannot overflow; saturate so that longer texts cannot
  // either.
  std::int64_t value = 0;
  for (; i < digits.size() && digits[i] >= u'0' && digits[i] <= u'9'; ++i) {
    value = std::min<std::int64_t>(value * 10 + (digits[i] - u'0'), INT32_MAX);
  }
  return static_cast<VersionNumber>(negative ? -value : value);
}

VersionNumber ParseVersionNumber(std::u16string_view text) {
  std::u16string work = DropDots(text);
  if (work.size() > kMaxVersionDigits) work.resize(kMaxVersionDigits);
  if (work.empty()) return kNoVersion;
  return ReadDecimal(work);
}

std::u16string FormatVersionNumber(VersionNumber value) {
  const std::string decimal = std::to_string(value);
  if (decimal.size() > kMaxVersionDigits) return u"0.0.0.0";
  // Positions 0, 2, 4 and 6 take the first four characters, the odd ones a
  // dot; the text ends at the first position that has no character.
  std::u16string display;
  for (std::size_t i = 0; i < 4 && i < decimal.size(); ++i) {
    display.push_back(static_cast<char16_t>(decimal[i]));
    if (i < 3) display.push_back(u'.');
  }
  return display;
}

}  // namespace packprobe
