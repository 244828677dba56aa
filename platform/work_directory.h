// A private, freshly created temporary directory that is removed with
// everything in it when its owner goes.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace packprobe::platform {

class WorkDirectory {
 public:
  // Creates a new directory that only this process uses, under $TMPDIR (or
  // /tmp) on POSIX and under the temp path on Windows. Nothing when that fails.
  static std::optional<WorkDirectory> Create();

  WorkDirectory(WorkDirectory&& other) noexcept : path_(std::move(other.path_)) {
    other.path_.clear();
  }
  WorkDirectory& operator=(WorkDirectory&&) = delete;
  WorkDirectory(const WorkDirectory&) = delete;
  WorkDirectory& operator=(const WorkDirectory&) = delete;

  // Removes the directory and everything in it, read-only files included.
  ~WorkDirectory();

  const std::u16string& path() const { return path_; }

  // The path of a file named name inside the directory.
  std::u16string PathOf(std::u16string_view name) const;

 private:
  explicit WorkDirectory(std::u16string path) : path_(std::move(path)) {}

  std::u16string path_;
};

}  // namespace packprobe::platform
