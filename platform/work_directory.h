// A private, freshly created temporary directory that is removed with
// everything in it when its owner goes.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/host_fault.h"
#include "platform/system_path.h"

namespace packprobe::platform {

class WorkDirectory {
 public:
  // Creates a new directory that only this process uses, under $TMPDIR (or
  // /tmp) on POSIX and under the temp path on Windows, taken as the system
  // gives them. Nothing when that fails, or once a termination has begun;
  // *fault (when given) then says why (never kNone). The directory is
  // registered with the termination clean-up of process.h until it is
  // removed; one that cannot be registered is not kept.
  static std::optional<WorkDirectory> Create(HostFault* fault = nullptr);

  WorkDirectory(WorkDirectory&& other) noexcept
      : path_(std::move(other.path_)),
        native_(std::move(other.native_)),
        slot_(other.slot_),
        descriptor_(other.descriptor_) {
    other.path_.clear();
    other.native_.clear();
    other.slot_ = -1;
    other.descriptor_ = -1;
  }
  WorkDirectory& operator=(WorkDirectory&&) = delete;
  WorkDirectory(const WorkDirectory&) = delete;
  WorkDirectory& operator=(const WorkDirectory&) = delete;

  // Removes the directory and everything in it, read-only files included.
  // Never throws; nothing is converted or allocated on the way.
  ~WorkDirectory();

  const std::u16string& path() const { return path_; }

  // The path of a file named name inside the directory.
  std::u16string PathOf(std::u16string_view name) const;

 private:
  WorkDirectory(std::u16string path, NativePath native, int slot, int descriptor = -1)
      : path_(std::move(path)), native_(std::move(native)), slot_(slot), descriptor_(descriptor) {}

  std::u16string path_;  // as the program's text (see system_path.h)
  NativePath native_;    // as the system gave it
  int slot_ = -1;        // in the registry of live directories
  // POSIX: the directory, open since its creation, so that its removal
  // needs no new descriptor; the registry owns it. -1 on Windows.
  int descriptor_ = -1;
};

}  // namespace packprobe::platform
