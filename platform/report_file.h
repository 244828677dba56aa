// Files for reports: a spill file for what a report holds back, and an
// output that replaces its file only when it is whole.
#pragma once

#include <cstdio>
#include <string>

#include "platform/stdio_file.h"
#include "platform/system_path.h"

namespace packprobe::platform {

// A new temporary file for reading and writing bytes, under $TMPDIR (or
// /tmp) on POSIX and the temp path on Windows, with no name left on disk:
// the system removes it when it is closed or the process ends, however it
// ends. Null on failure, with the system's reason in error.
StdioFile CreateSpillFile(std::string& error);

// The output of a report. For a regular file or a path where nothing is
// yet, the bytes go to a new temporary file beside it (in the same folder,
// so that renaming it is atomic), which Commit renames over the path: until
// then the path keeps what it held, and a termination signal removes the
// temporary file (it is registered with process.h). A symbolic link is
// followed, and the file it leads to is replaced. Anything else at the path
// (a device such as /dev/null, a pipe) is written in place.
class ReplacingOutput {
 public:
  ReplacingOutput() = default;
  ~ReplacingOutput();  // removes the temporary file unless committed
  ReplacingOutput(const ReplacingOutput&) = delete;
  ReplacingOutput& operator=(const ReplacingOutput&) = delete;

  // False with the system's reason in error when the output cannot be
  // opened.
  bool Open(const NativePath& path, std::string& error);

  // The stream to write to; null before a successful Open.
  std::FILE* stream() const { return file_; }

  // Flushes and closes the stream and puts the file in place. False with
  // the reason in error when any of it fails; the path then keeps what it
  // held and the temporary file is gone.
  bool Commit(std::string& error);

 private:
  void Discard() noexcept;

  std::FILE* file_ = nullptr;
  NativePath temporary_;  // empty when writing in place
  NativePath target_;
  int slot_ = -1;  // in the registry of live paths
};

}  // namespace packprobe::platform
