// The command line of packprobe-scan.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "component/verdict.h"

namespace packprobe::scan {

enum class Format { kText, kJsonl, kCsv, kJunit, kGithub };
enum class ProgressMode { kAuto, kAlways, kNever };
enum class ColorMode { kAuto, kAlways, kNever };

struct Shard {
  std::uint32_t index = 0;  // K, from 0
  std::uint32_t count = 1;  // N
};

struct ScanOptions {
  std::vector<std::string> paths;  // UTF-8
  std::string filesFrom;           // "-": standard input; empty: none
  CheckCriteria criteria;
  Format format = Format::kText;
  std::string output;  // empty: standard output
  unsigned jobs = 1;
  std::optional<Shard> shard;
  bool strict = false;
  ProgressMode progress = ProgressMode::kAuto;
  bool quiet = false;
  // A scan that finds no component passes (exit 0) rather than exiting 3.
  bool allowEmpty = false;
  bool follow = false;  // search folders reached through symbolic links too

  // The gate's policy and outputs (see scan/config.h).
  std::vector<std::string> errorOn;   // warning codes that fail a component
  std::vector<std::string> ignore;    // warning codes dropped
  std::vector<std::string> exclude;   // globs of paths not checked
  bool nullSeparated = false;         // --files-from lists end in NUL, not a line end
  ColorMode color = ColorMode::kAuto;
  bool colorText = false;             // the text report colours its outcomes (decided at start)
  std::vector<std::pair<Format, std::string>> also;  // more reports: format and file
  std::string summary;                // the Markdown summary's file; empty: none
  // The release manifest to check against (--manifest, or the configuration
  // file's key); empty: none.
  std::string manifest;
  bool hash = false;  // records carry the file's SHA-256 (always with a manifest)
};

// What the command line asks for: a scan with these options, or an
// immediate exit (help, version, usage error) with this text.
struct CommandLine {
  bool run = false;
  ScanOptions options;
  int exitCode = 0;
  std::string out;  // for standard output (help, version)
  std::string err;  // for standard error (usage errors)
};

// Parses the arguments (UTF-8; the first is the program's name).
// defaultJobs is the number of jobs when -j is not given.
CommandLine ParseScanCommandLine(const std::vector<std::string>& arguments, unsigned defaultJobs);

}  // namespace packprobe::scan
