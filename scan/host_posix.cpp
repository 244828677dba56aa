#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "scan/host.h"

namespace packprobe::scan {

bool StandardErrorIsTerminal() { return isatty(STDERR_FILENO) == 1; }

bool StandardOutputIsTerminal() { return isatty(STDOUT_FILENO) == 1; }

std::optional<std::string> EnvironmentVariable(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

unsigned DefaultJobs() {
  unsigned jobs = std::max(1u, std::thread::hardware_concurrency());
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) jobs = std::max(1, CPU_COUNT(&set));
  const auto read = [](const char* path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return in ? text.str() : std::string();
  };
  std::optional<unsigned> quota = ProcessorsOfQuota(read("/sys/fs/cgroup/cpu.max"));
  if (!quota) {
    std::string v1 = read("/sys/fs/cgroup/cpu/cpu.cfs_quota_us");
    if (!v1.empty() && v1.back() == '\n') v1.pop_back();
    quota = ProcessorsOfQuota(v1 + " " + read("/sys/fs/cgroup/cpu/cpu.cfs_period_us"));
  }
  return quota ? std::min(jobs, *quota) : jobs;
}

void PrepareStandardStreams() {}

void RestoreStandardStreams() {}

}  // namespace packprobe::scan
