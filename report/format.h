// The formats reports are written in, as one table: their names, and which
// subcommands write them.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace packprobe::report {

enum class Format { kText, kJsonl, kCsv, kJunit, kGithub, kMarkdown };

// Which command writes a format.
enum class FormatUse { kScan, kDiff };

struct FormatRow {
  Format format;
  std::string_view name;
  bool scan;  // a scan's and a merge's report (--format, --also)
  bool diff;  // diff's list of changes
};

inline constexpr FormatRow kFormats[] = {
    {Format::kText, "text", true, true},    {Format::kJsonl, "jsonl", true, true},
    {Format::kCsv, "csv", true, false},     {Format::kJunit, "junit", true, false},
    {Format::kGithub, "github", true, false}, {Format::kMarkdown, "markdown", false, true},
};

std::string_view FormatName(Format format);

// The format of a name, when the command writes it.
std::optional<Format> FormatFromName(std::string_view name, FormatUse use);

// "text, jsonl, csv, junit or github": the names a command takes.
std::string FormatNames(FormatUse use);

}  // namespace packprobe::report
