// The commands of packprobe-scan: arguments in (UTF-8, from the program's
// name on), exit code out.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "gate/judgement.h"
#include "gate/run_settings.h"
#include "gate/targets.h"

namespace packprobe::scan {

int RunScan(const std::vector<std::string>& arguments, unsigned defaultJobs);
int RunMerge(const std::vector<std::string>& arguments, unsigned defaultJobs);
int RunSnapshot(const std::vector<std::string>& arguments, unsigned defaultJobs);
int RunDiff(const std::vector<std::string>& arguments, unsigned defaultJobs);

// The paths to check: those named and those listed by --files-from; nothing,
// with the usage error, when the list cannot be read or breaks its bounds.
std::optional<std::vector<std::filesystem::path>> NamedPaths(const gate::Selection& selection, std::string& error);

// What a run found before it was split into shares.
gate::FoundPaths FoundOf(const std::vector<gate::Target>& targets);

}  // namespace packprobe::scan
