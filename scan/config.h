// packprobe-scan.toml: the ranges, policy, excludes and manifest that a
// repository keeps beside its release, read into values. Which file: the
// one named (--config), or the first found from the scanned folder upwards,
// never above the repository's root (the first folder holding .git, .hg or
// .svn), nor above the scanned folder when it lies in no repository; a file
// that another user owns, or anyone may write, is refused.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "component/version_number.h"
#include "gate/run_settings.h"

namespace packprobe::scan {

inline constexpr const char* kConfigFileName = "packprobe-scan.toml";

// Reads a range bound; nothing, with why in error, when it is no bound.
using BoundParser = std::function<std::optional<VersionNumber>(const std::string& text, std::string& error)>;

struct ConfigValues {
  std::string file;    // the file read, as named or found; empty: none
  std::string folder;  // its folder, absolute, "/" between parts
  std::optional<VersionNumber> stubMin, stubMax, setupMin, setupMax;
  std::optional<bool> firmwareOnly, softwareOnly, strict;
  std::optional<std::vector<std::string>> errorOn, ignore, exclude;
  std::optional<std::string> manifest;  // relative paths taken from the file's folder
  std::optional<std::vector<std::string>> trust;  // PEM files, relative paths taken from the file's folder
  std::optional<std::vector<std::string>> signers, requireSigned;
  std::vector<gate::Waiver> waivers;    // [[waive]] tables, their paths relative to the file's folder
};

struct ConfigRequest {
  std::string named;  // --config FILE; empty: search
  bool none = false;  // --no-config
  std::string start;  // the first path named (its folder is searched first); empty: the current folder
};

// Reads the text of a configuration file named file, in folder, into values
// (file and folder set). The usage error, or an empty text.
std::string ParseConfig(std::string_view text, const std::string& file, const std::string& folder,
                        const BoundParser& parseBound, ConfigValues& values);

// Finds and reads the configuration file into values. The usage error
// ("FILE:LINE: ..."), or an empty text when all is well (also when there is
// no file).
std::string LoadConfig(const ConfigRequest& request, const BoundParser& parseBound, ConfigValues& values);

}  // namespace packprobe::scan
