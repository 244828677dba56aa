#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

#include "platform/process.h"
#include "platform/report_file.h"

namespace packprobe::platform {
namespace {

std::string Reason(int error) { return std::system_category().message(error); }

// Blocks the termination signals on this thread while alive, so that a
// file is registered for removal before a signal can end the process.
class TerminationSignalsBlocked {
 public:
  TerminationSignalsBlocked() {
    sigset_t blocked;
    sigemptyset(&blocked);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaddset(&blocked, signal);
    pthread_sigmask(SIG_BLOCK, &blocked, &previous_);
  }
  ~TerminationSignalsBlocked() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
  TerminationSignalsBlocked(const TerminationSignalsBlocked&) = delete;
  TerminationSignalsBlocked& operator=(const TerminationSignalsBlocked&) = delete;

 private:
  sigset_t previous_;
};

std::string TemporaryBase() {
  const char* tmpdir = getenv("TMPDIR");
  std::string base = (tmpdir != nullptr && tmpdir[0] != '\0') ? tmpdir : "/tmp";
  if (base.back() != '/') base += '/';
  return base;
}

}  // namespace

StdioFile CreateSpillFile(std::string& error) {
  const std::string base = TemporaryBase();
  // An unnamed file where the file system offers one; otherwise a named
  // one, unlinked at once with the termination signals held off, so that
  // no signal finds it named.
  int fd = open(base.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, S_IRUSR | S_IWUSR);
  if (fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
    std::string name = base + "packprobe-spill-XXXXXX";
    TerminationSignalsBlocked blocked;
    fd = mkostemp(name.data(), O_CLOEXEC);
    if (fd >= 0) unlink(name.c_str());
  }
  if (fd < 0) {
    error = "cannot create a temporary file in " + base + ": " + Reason(errno);
    return nullptr;
  }
  StdioFile file(fdopen(fd, "w+b"));
  if (!file) {
    error = Reason(errno);
    close(fd);
  }
  return file;
}

ReplacingOutput::~ReplacingOutput() { Discard(); }

void ReplacingOutput::Discard() noexcept {
  if (file_ != nullptr) std::fclose(file_);
  file_ = nullptr;
  if (!temporary_.empty()) {
    unlink(temporary_.c_str());
    UnregisterLiveDirectory(slot_);
  }
  temporary_.clear();
  slot_ = -1;
}

bool ReplacingOutput::Open(const NativePath& path, std::string& error) {
  Discard();
  target_ = path;
  struct stat status {};
  const bool exists = stat(path.c_str(), &status) == 0;
  if (exists && !S_ISREG(status.st_mode)) {
    if (S_ISDIR(status.st_mode)) {
      error = "it is a folder";
      return false;
    }
    // A device or a pipe: there is nothing to replace.
    file_ = std::fopen(path.c_str(), "wb");
    if (file_ == nullptr) error = Reason(errno);
    return file_ != nullptr;
  }
  // Through a link, the file it leads to is replaced, not the link.
  struct stat own {};
  if (exists && lstat(path.c_str(), &own) == 0 && S_ISLNK(own.st_mode)) {
    char* resolved = realpath(path.c_str(), nullptr);
    if (resolved != nullptr) {
      target_ = resolved;
      free(resolved);
    }
  }
  const std::size_t slash = target_.rfind('/');
  std::string name = (slash == target_.npos ? std::string() : target_.substr(0, slash + 1)) +
                     ".packprobe-scan-XXXXXX";
  {
    TerminationSignalsBlocked blocked;
    const int fd = mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) {
      error = Reason(errno);
      return false;
    }
    slot_ = RegisterLiveDirectory(name);
    temporary_ = name;
    // The file gets the mode the replaced file had, or that a new file
    // would get (mkstemp makes it private).
    mode_t mode;
    if (exists) {
      mode = status.st_mode & 07777;
    } else {
      const mode_t mask = umask(0);
      umask(mask);
      mode = 0666 & ~mask;
    }
    fchmod(fd, mode);
    file_ = fdopen(fd, "wb");
    if (file_ == nullptr) {
      error = Reason(errno);
      close(fd);
      Discard();
      return false;
    }
  }
  return true;
}

bool ReplacingOutput::Commit(std::string& error) {
  if (file_ == nullptr) {
    error = "the output is not open";
    return false;
  }
  bool ok = std::fflush(file_) == 0;
  int failure = ok ? 0 : errno;
  if (ok && !temporary_.empty() && fsync(fileno(file_)) != 0 && errno != EINVAL) {
    ok = false;
    failure = errno;
  }
  if (std::fclose(file_) != 0 && ok) {
    ok = false;
    failure = errno;
  }
  file_ = nullptr;
  if (ok && !temporary_.empty()) {
    if (rename(temporary_.c_str(), target_.c_str()) != 0) {
      ok = false;
      failure = errno;
    } else {
      UnregisterLiveDirectory(slot_);
      temporary_.clear();
      slot_ = -1;
    }
  }
  if (!ok) {
    error = Reason(failure);
    Discard();
  }
  return ok;
}

}  // namespace packprobe::platform
