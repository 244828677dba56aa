#include "report/spool.h"

#include <cerrno>
#include <system_error>

#include "platform/report_file.h"

namespace packprobe::report {

bool Spool::Append(std::string_view text) {
  if (!error_.empty()) return false;
  if (!file_ && memory_.size() + text.size() <= kMemoryBound) {
    memory_.append(text);
    return true;
  }
  if (!file_) {
    file_ = platform::CreateSpillFile(error_);
    if (!file_) {
      error_ = "the report's held-back part cannot be kept: " + error_;
      return false;
    }
    if (!Put(memory_)) return false;
    std::string().swap(memory_);
  }
  return Put(text);
}

bool Spool::Put(std::string_view text) {
  if (text.empty() || std::fwrite(text.data(), 1, text.size(), file_.get()) == text.size()) {
    return true;
  }
  return Fail("cannot be written to the temporary file");
}

bool Spool::Fail(const char* what) {
  error_ = std::string("the report's held-back part ") + what + ": " +
           std::system_category().message(errno);
  return false;
}

}  // namespace packprobe::report
