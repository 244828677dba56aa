// What the scan program needs of the host beyond the library.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace packprobe::scan {

// True when standard error is a terminal (a console on Windows).
bool StandardErrorIsTerminal();

// True when standard output is a terminal (a console on Windows).
bool StandardOutputIsTerminal();

// The value of an environment variable as UTF-8; nothing when it is unset.
std::optional<std::string> EnvironmentVariable(const char* name);

// The number of checks to run at once by default: the processors this
// process may run on, and no more than its CPU quota allows (a container's
// cgroup limit), at least 1.
unsigned DefaultJobs();

// The processors a cgroup CPU quota allows: "cpu.max" of cgroup v2 ("max
// 100000" or "150000 100000", rounded up), or cgroup v1's quota and period
// as the same two numbers; nothing when it sets no limit or is no quota.
std::optional<unsigned> ProcessorsOfQuota(std::string_view quotaAndPeriod);

// Today's date in UTC, "YYYY-MM-DD".
std::string TodayUtc();

// Makes standard input and output carry bytes untranslated, and a console
// show UTF-8, until RestoreStandardStreams.
void PrepareStandardStreams();
void RestoreStandardStreams();

}  // namespace packprobe::scan
