// Text that a report holds back until its end.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

#include "platform/stdio_file.h"

namespace packprobe::report {

// Text that a report holds back until the end: in memory up to a bound,
// beyond it in an unnamed temporary file under TMPDIR, so that memory does
// not grow with the number of components. Nothing held is ever dropped: a
// failure to spill, write or read it back is kept and fails the report.
class Spool {
 public:
  static constexpr std::size_t kMemoryBound = 1u << 20;

  Spool() = default;
  Spool(const Spool&) = delete;
  Spool& operator=(const Spool&) = delete;

  // False once anything could not be held.
  bool Append(std::string_view text);

  // Passes everything held to sink, in pieces; false when it cannot be
  // read back whole.
  template <typename Sink>
  bool Drain(Sink&& sink) {
    if (!error_.empty()) return false;
    if (!file_) {
      sink(std::string_view(memory_));
      return true;
    }
    if (std::fflush(file_.get()) != 0 || std::fseek(file_.get(), 0, SEEK_SET) != 0) {
      return Fail("cannot be read back");
    }
    char buffer[65536];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, file_.get())) > 0) {
      sink(std::string_view(buffer, n));
    }
    if (std::ferror(file_.get())) return Fail("cannot be read back");
    return true;
  }

  // Why something could not be held; empty while all is well.
  const std::string& error() const { return error_; }

 private:
  bool Put(std::string_view text);
  bool Fail(const char* what);

  platform::StdioFile file_;
  std::string memory_;
  std::string error_;
};

}  // namespace packprobe::report
