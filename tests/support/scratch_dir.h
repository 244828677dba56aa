// A fresh directory for one test, removed with everything in it at the end.
#pragma once

#include <cstdio>
#include <filesystem>
#include <vector>
#include <string>

namespace packprobe::testsupport {

class ScratchDir {
 public:
  ScratchDir();
  // In base rather than the system's folder for temporary files.
  explicit ScratchDir(const std::filesystem::path& base);
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

// Writes bytes to a file, replacing it.
void WriteFile(const std::filesystem::path& path, const std::string& bytes);

// The whole content of a file; empty when it cannot be read.
std::string ReadFile(const std::filesystem::path& path);

// Everything written to a stream (a temporary file), from its start.
std::string ReadStream(std::FILE* stream);

// The names of the entries of a directory, sorted, with "/" after
// subdirectories, descending into them ("sub/", "sub/a").
std::vector<std::string> ListTree(const std::filesystem::path& directory);

}  // namespace packprobe::testsupport
