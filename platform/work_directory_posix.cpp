#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <string>

#include "platform/host_fault.h"
#include "platform/process.h"
#include "platform/remove_tree.h"
#include "platform/work_directory.h"

namespace packprobe::platform {

std::optional<WorkDirectory> WorkDirectory::Create(HostFault* fault) {
  HostFault ignored;
  HostFault& why = fault != nullptr ? *fault : ignored;
  why = HostFault::kNone;
  // The base is taken byte for byte: a name that is not UTF-8 or holds a
  // '\' is still the directory the user named.
  const char* tmpdir = getenv("TMPDIR");
  std::string name = (tmpdir != nullptr && tmpdir[0] != '\0') ? tmpdir : "/tmp";
  if (name.back() != '/') name += '/';
  name += "packprobe-XXXXXX";
  std::u16string path;

  // From the moment the directory exists until it is registered, the
  // signals that remove it wait.
  sigset_t blocked, previous;
  sigemptyset(&blocked);
  for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaddset(&blocked, signal);
  pthread_sigmask(SIG_BLOCK, &blocked, &previous);
  // mkdtemp creates the directory with mode 0700, less the umask; the owner
  // must be able to write in it whatever the umask says, and nobody else
  // may look in.
  const bool made = mkdtemp(name.data()) != nullptr;
  if (!made) why = LastSystemErrorFault();
  if (made) chmod(name.c_str(), S_IRWXU);
  const int slot = made ? RegisterLiveDirectory(name) : -1;
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (!made) return std::nullopt;
  try {
    path = FromSystemPath(name);
  } catch (...) {
    RemoveTree(name);
    UnregisterLiveDirectory(slot);
    throw;
  }
  return WorkDirectory(std::move(path), std::move(name), slot);
}

WorkDirectory::~WorkDirectory() {
  if (native_.empty()) return;
  // Removed first, released from the registry after: a signal in between
  // removes nothing that is still needed.
  RemoveTree(native_);
  UnregisterLiveDirectory(slot_);
}

std::u16string WorkDirectory::PathOf(std::u16string_view name) const {
  std::u16string path = path_;
  path += u'/';
  path += name;
  return path;
}

}  // namespace packprobe::platform
