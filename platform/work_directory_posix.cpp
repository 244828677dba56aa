#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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
  // signals that remove it wait, and so does a termination's clean-up on
  // other threads; once a termination has begun, nothing is created.
  sigset_t blocked, previous;
  sigemptyset(&blocked);
  for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaddset(&blocked, signal);
  pthread_sigmask(SIG_BLOCK, &blocked, &previous);
  int slot = -1;
  int descriptor = -1;
  if (!BeginLiveCreation()) {
    why = HostFault::kOther;
  } else {
    // mkdtemp creates the directory with mode 0700, less the umask; the
    // owner must be able to write in it whatever the umask says, and nobody
    // else may look in.
    if (mkdtemp(name.data()) == nullptr) {
      why = LastSystemErrorFault();
    } else {
      // Its descriptor stays open until it is removed, so that neither its
      // owner nor a termination needs a new one to remove it.
      descriptor = open(name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      if (descriptor < 0) {
        why = LastSystemErrorFault();
      } else {
        fchmod(descriptor, S_IRWXU);
        slot = RegisterLiveDirectory(name, descriptor);
        if (slot < 0) {
          why = HostFault::kTooManyFiles;
          close(descriptor);
          descriptor = -1;
        }
      }
      if (slot < 0) rmdir(name.c_str());
    }
    EndLiveCreation();
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (slot < 0) return std::nullopt;
  try {
    path = FromSystemPath(name);
  } catch (...) {
    RemoveTreeWithDescriptorSignalSafe(descriptor, name.c_str());
    UnregisterLiveDirectory(slot);
    throw;
  }
  return WorkDirectory(std::move(path), std::move(name), slot, descriptor);
}

WorkDirectory::~WorkDirectory() {
  if (native_.empty()) return;
  // Removed first, released from the registry (which closes the
  // descriptor) after: a signal in between removes nothing that is still
  // needed.
  RemoveTreeWithDescriptorSignalSafe(descriptor_, native_.c_str());
  UnregisterLiveDirectory(slot_);
}

std::u16string WorkDirectory::PathOf(std::u16string_view name) const {
  std::u16string path = path_;
  path += u'/';
  path += name;
  return path;
}

}  // namespace packprobe::platform
