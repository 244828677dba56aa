#include "scan/targets.h"

#include <algorithm>
#include <string_view>
#include <system_error>

#include "util/ascii.h"

namespace packprobe::scan {
namespace fs = std::filesystem;
namespace {

// The path with "/" between its parts on every system, as UTF-8.
std::string GenericUtf8(const fs::path& path) {
  const std::u8string text = path.generic_u8string();
  return std::string(text.begin(), text.end());
}

bool HasExeExtension(const fs::path& path) {
  const std::string name = GenericUtf8(path.filename());
  if (name.size() < 4) return false;
  const std::string_view extension = std::string_view(name).substr(name.size() - 4);
  return std::equal(extension.begin(), extension.end(), std::string_view(".exe").begin(),
                    [](char a, char b) { return AsciiEqualIgnoringCase(a, b); });
}

void SearchFolder(const fs::path& folder, std::vector<Target>& targets) {
  std::error_code error;
  fs::recursive_directory_iterator it(folder, error);
  for (; !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
    // Regular files and links to them; links to folders are not followed,
    // and special files (pipes, devices) are no components.
    std::error_code ignored;
    if (!it->is_regular_file(ignored) || !HasExeExtension(it->path())) continue;
    Target target;
    target.native = it->path().native();
    target.display = GenericUtf8(it->path());
    target.relative = GenericUtf8(it->path().lexically_relative(folder));
    target.shardHash = Fnv1a64(target.relative);
    targets.push_back(std::move(target));
  }
  if (error) {
    Target target;
    target.native = folder.native();
    target.display = GenericUtf8(folder);
    target.relative = target.display;
    target.shardHash = Fnv1a64(target.display);
    target.folderError = "the folder cannot be searched: " + error.message();
    targets.push_back(std::move(target));
  }
}

}  // namespace

std::vector<Target> CollectTargets(const std::vector<fs::path>& paths) {
  std::vector<Target> targets;
  for (const fs::path& path : paths) {
    std::error_code ignored;
    if (fs::is_directory(path, ignored)) {
      SearchFolder(path, targets);
      continue;
    }
    Target target;
    target.native = path.native();
    target.display = GenericUtf8(path);
    target.relative = GenericUtf8(path.filename());
    if (target.relative.empty()) target.relative = target.display;
    target.shardHash = Fnv1a64(target.display);
    targets.push_back(std::move(target));
  }
  std::sort(targets.begin(), targets.end(),
            [](const Target& a, const Target& b) { return a.display < b.display; });
  targets.erase(std::unique(targets.begin(), targets.end(),
                            [](const Target& a, const Target& b) { return a.display == b.display; }),
                targets.end());
  return targets;
}

std::vector<std::string> SplitPathList(std::string_view text) {
  std::vector<std::string> lines;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (!line.empty()) lines.emplace_back(line);
    if (end == text.npos) break;
    text.remove_prefix(end + 1);
  }
  return lines;
}

std::uint64_t Fnv1a64(std::string_view text) {
  std::uint64_t hash = 0xCBF29CE484222325ull;
  for (const char c : text) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 0x100000001B3ull;
  }
  return hash;
}

std::uint32_t ShardOf(const Target& target, std::uint32_t count) {
  return static_cast<std::uint32_t>(target.shardHash % count);
}

}  // namespace packprobe::scan
