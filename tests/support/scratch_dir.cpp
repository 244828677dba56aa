#include "tests/support/scratch_dir.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <random>
#include <stdexcept>

#include "platform/remove_tree.h"

namespace packprobe::testsupport {
namespace fs = std::filesystem;

ScratchDir::ScratchDir() : ScratchDir(fs::temp_directory_path()) {}

ScratchDir::ScratchDir(const fs::path& base) {
  std::random_device random;
  for (int attempt = 0; attempt < 100; ++attempt) {
    fs::path candidate = base / ("packprobe-test-" + std::to_string(random()));
    if (fs::create_directory(candidate)) {
      path_ = candidate;
      return;
    }
  }
  throw std::runtime_error("cannot create a scratch directory");
}

// Read-only leftovers go too.
ScratchDir::~ScratchDir() { platform::RemoveTree(path_.native()); }

void WriteFile(const fs::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

std::string ReadStream(std::FILE* stream) {
  std::string text;
  std::fflush(stream);
  std::rewind(stream);
  char buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, stream)) > 0;) text.append(buffer, n);
  return text;
}

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return in ? text.str() : std::string();
}

std::vector<std::string> ListTree(const fs::path& directory) {
  std::vector<std::string> names;
  std::error_code ignored;
  for (auto it = fs::recursive_directory_iterator(directory, ignored);
       it != fs::recursive_directory_iterator(); it.increment(ignored)) {
    std::string name = fs::relative(it->path(), directory).generic_string();
    if (it->is_directory()) name += '/';
    names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace packprobe::testsupport
