#include "report/format.h"

namespace packprobe::report {
namespace {

bool Writes(const FormatRow& row, FormatUse use) { return use == FormatUse::kScan ? row.scan : row.diff; }

}  // namespace

std::string_view FormatName(Format format) {
  for (const FormatRow& row : kFormats) {
    if (row.format == format) return row.name;
  }
  return "text";
}

std::optional<Format> FormatFromName(std::string_view name, FormatUse use) {
  for (const FormatRow& row : kFormats) {
    if (row.name == name && Writes(row, use)) return row.format;
  }
  return std::nullopt;
}

std::string FormatNames(FormatUse use) {
  std::string names;
  std::size_t left = 0;
  for (const FormatRow& row : kFormats) left += Writes(row, use) ? 1 : 0;
  for (const FormatRow& row : kFormats) {
    if (!Writes(row, use)) continue;
    --left;
    if (!names.empty()) names += left == 0 ? " or " : ", ";
    names += row.name;
  }
  return names;
}

}  // namespace packprobe::report
