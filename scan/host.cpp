#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <cstdint>

#include "scan/host.h"

namespace packprobe::scan {

std::optional<unsigned> ProcessorsOfQuota(std::string_view text) {
  const std::size_t space = text.find(' ');
  if (space == std::string_view::npos) return std::nullopt;
  const std::string_view quota = text.substr(0, space);
  std::string_view period = text.substr(space + 1);
  while (!period.empty() && (period.back() == '\n' || period.back() == ' ')) period.remove_suffix(1);
  std::uint64_t q = 0, p = 0;
  if (std::from_chars(quota.data(), quota.data() + quota.size(), q).ptr != quota.data() + quota.size() ||
      std::from_chars(period.data(), period.data() + period.size(), p).ptr != period.data() + period.size() ||
      q == 0 || p == 0) {
    return std::nullopt;  // "max", "-1 100000": no limit
  }
  return static_cast<unsigned>(std::max<std::uint64_t>(1, (q + p - 1) / p));
}

std::string TodayUtc() {
  const std::chrono::year_month_day day{std::chrono::floor<std::chrono::days>(std::chrono::system_clock::now())};
  char text[16];
  std::snprintf(text, sizeof text, "%04d-%02u-%02u", static_cast<int>(day.year()), static_cast<unsigned>(day.month()),
                static_cast<unsigned>(day.day()));
  return text;
}

}  // namespace packprobe::scan
