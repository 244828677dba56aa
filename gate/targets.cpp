#include "gate/targets.h"

#include <algorithm>
#include <memory>
#include <string_view>
#include <system_error>

#include "platform/directory_listing.h"
#include "gate/selection.h"
#include "util/shown_text.h"
#include "util/ascii.h"

namespace packprobe::gate {
namespace fs = std::filesystem;
std::string GenericUtf8(const fs::path& path) {
  const std::u8string text = path.generic_u8string();
  return std::string(text.begin(), text.end());
}

namespace {

bool HasExeExtension(const fs::path& path) {
  const std::string name = GenericUtf8(path.filename());
  if (name.size() < 4) return false;
  const std::string_view extension = std::string_view(name).substr(name.size() - 4);
  return std::equal(extension.begin(), extension.end(), std::string_view(".exe").begin(),
                    [](char a, char b) { return AsciiEqualIgnoringCase(a, b); });
}

// The ancestors of a folder on the way the search took to it, as canonical
// paths: a link that leads to one of them would search it again, forever.
struct Chain {
  std::string canonical;
  std::shared_ptr<const Chain> parent;
};

// True when searching the folder canonical would enter a folder of the
// chain again: it is one of them, or holds one of them.
bool ReachesChain(const Chain* chain, const std::string& canonical) {
  if (canonical.empty()) return false;
  const std::string prefix = canonical.back() == '/' ? canonical : canonical + "/";
  for (; chain != nullptr; chain = chain->parent.get()) {
    if (chain->canonical == canonical || chain->canonical.rfind(prefix, 0) == 0) return true;
  }
  return false;
}

std::string Canonical(const fs::path& path) {
  std::error_code error;
  const fs::path canonical = fs::canonical(path, error);
  return error ? std::string() : GenericUtf8(canonical);
}

Target MakeTarget(const fs::path& path, const fs::path& root) {
  Target target;
  target.native = path.native();
  target.display = GenericUtf8(path);
  target.relative = GenericUtf8(path.lexically_relative(root));
  return target;
}

Target SearchFault(const fs::path& path, std::string code, std::string detail) {
  Target target;
  target.native = path.native();
  target.display = GenericUtf8(path);
  target.relative = target.display;
  target.searchCode = std::move(code);
  target.searchDetail = std::move(detail);
  return target;
}

// Whether the patterns leave an entry out; counts the first that does.
bool IsExcluded(const SearchOptions& options, const std::string& relative, const fs::path& path,
                SearchNotes& notes) {
  if (options.exclude.empty()) return false;
  const bool based = std::any_of(options.exclude.begin(), options.exclude.end(),
                                 [](const ExcludePattern& p) { return !p.base.empty(); });
  const std::string absolute = based ? AbsoluteGeneric(path) : std::string();
  for (std::size_t i = 0; i < options.exclude.size(); ++i) {
    if (Excluded({options.exclude[i]}, relative, absolute)) {
      notes.excludedBy.resize(options.exclude.size());
      ++notes.excludedBy[i];
      return true;
    }
  }
  return false;
}

// Searches root and the folders below it, one folder at a time from a
// stack (no recursion, so depth costs no stack). A folder that cannot be
// listed becomes a target of its own and the search goes on.
void SearchFolder(const fs::path& root, const SearchOptions& options, std::vector<Target>& targets,
                  SearchNotes& notes) {
  struct Pending {
    fs::path folder;
    std::shared_ptr<const Chain> chain;
  };
  std::vector<Pending> pending;
  std::shared_ptr<const Chain> rootChain;
  if (options.followFolderLinks) rootChain = std::make_shared<Chain>(Chain{Canonical(root), nullptr});
  pending.push_back({root, rootChain});
  while (!pending.empty()) {
    Pending current = std::move(pending.back());
    pending.pop_back();
    std::vector<platform::NativePath> names;
    std::string error;
    const bool listed = platform::ListDirectory(current.folder.native(), names, error);
    for (const platform::NativePath& name : names) {
      const fs::path path = current.folder / name;
      std::error_code statusError;
      const fs::file_status own = fs::symlink_status(path, statusError);
      if (statusError && statusError != std::errc::no_such_file_or_directory) {
        // Nothing can be known of it, not even whether it is a folder: it
        // gets a record rather than being passed over.
        const bool tooLong = statusError == std::errc::filename_too_long;
        targets.push_back(SearchFault(
            path, tooLong ? "path-too-long" : "entry-unreadable",
            "the entry " + ShownPath(GenericUtf8(path)) + " cannot be looked at: " +
                (tooLong ? "its path (" + std::to_string(path.native().size()) +
                               " bytes) is longer than the system opens"
                         : statusError.message()) +
                "; if it is a folder, what it holds was not checked"));
        continue;
      }
      if (fs::is_directory(own)) {
        std::shared_ptr<const Chain> chain;
        if (current.chain) {
          chain = std::make_shared<Chain>(Chain{Canonical(path), current.chain});
        }
        pending.push_back({path, std::move(chain)});
        continue;
      }
      std::error_code followError;
      const fs::file_status followed = fs::status(path, followError);
      if (fs::is_symlink(own) && !followError && fs::is_directory(followed)) {
        if (!options.followFolderLinks) {
          ++notes.folderLinksSkipped;
          continue;
        }
        const std::string canonical = Canonical(path);
        if (ReachesChain(current.chain.get(), canonical)) {
          targets.push_back(SearchFault(
              path, "folder-loop",
              "the link leads to " + ShownPath(canonical) +
                  ", which holds a folder that this search is already in; it is not searched"));
          continue;
        }
        pending.push_back({path, std::make_shared<Chain>(Chain{canonical, current.chain})});
        continue;
      }
      // Everything else named *.exe gets a record: regular files and links
      // to them are checked, and the check gives dangling links, link loops,
      // pipes, devices and sockets their reasons.
      if (!HasExeExtension(path)) continue;
      Target target = MakeTarget(path, root);
      if (!IsExcluded(options, target.relative, path, notes)) targets.push_back(std::move(target));
    }
    if (!listed) {
      targets.push_back(SearchFault(current.folder, "folder-unreadable",
                                    "the folder " + ShownPath(GenericUtf8(current.folder)) +
                                        " cannot be searched: " + error +
                                        "; what it holds was not checked"));
    }
  }
}

std::string KindOf(const fs::file_status& status) {
  switch (status.type()) {
    case fs::file_type::directory: return "a folder";
    case fs::file_type::fifo: return "a named pipe (FIFO)";
    case fs::file_type::character: return "a character device";
    case fs::file_type::block: return "a block device";
    case fs::file_type::socket: return "a socket";
    default: return "not a regular file";
  }
}

}  // namespace

EntryReason DescribeEntry(const fs::path& path) {
  std::error_code error;
  const fs::file_status own = fs::symlink_status(path, error);
  if (error == std::errc::filename_too_long) {
    // Something may well be there: the system cannot tell.
    return {"path-too-long", "the path (" + std::to_string(path.native().size()) +
                                 " bytes) is longer than the system opens, so the file could not "
                                 "be looked at; it was not checked"};
  }
  if (error) return {};
  const bool link = fs::is_symlink(own);
  std::string linkText;
  if (link) {
    const fs::path to = fs::read_symlink(path, error);
    linkText = error ? std::string("the symbolic link")
                     : "the symbolic link to " + ShownPath(GenericUtf8(to));
  }
  const fs::file_status followed = fs::status(path, error);
  if (error) {
    if (!link) return {};
    if (error == std::errc::too_many_symbolic_link_levels) {
      return {"link-loop", linkText + " leads back to itself (too many levels of links)"};
    }
    if (error == std::errc::no_such_file_or_directory || error == std::errc::not_a_directory) {
      return {"dangling-link", linkText + " leads to nothing: its target does not exist"};
    }
    return {};
  }
  if (fs::is_regular_file(followed)) return {};
  return {"not-regular-file",
          (link ? linkText + " leads to " : std::string("the path names ")) + KindOf(followed) +
              ", not a component file"};
}

std::vector<Target> CollectTargets(const std::vector<fs::path>& paths,
                                   const SearchOptions& given, SearchNotes* notes) {
  SearchOptions options = given;
  options.exclude = Resolved(options.exclude, AbsoluteGeneric("."));
  std::vector<Target> targets;
  SearchNotes ownNotes;
  for (const fs::path& path : paths) {
    std::error_code ignored;
    if (fs::is_directory(path, ignored)) {
      SearchFolder(path, options, targets, notes != nullptr ? *notes : ownNotes);
      continue;
    }
    Target target;
    target.native = path.native();
    target.display = GenericUtf8(path);
    if (IsExcluded(options, target.display, path, notes != nullptr ? *notes : ownNotes)) continue;
    target.relative = GenericUtf8(path.filename());
    if (target.relative.empty()) target.relative = target.display;
    targets.push_back(std::move(target));
  }
  std::sort(targets.begin(), targets.end(),
            [](const Target& a, const Target& b) { return a.display < b.display; });
  targets.erase(std::unique(targets.begin(), targets.end(),
                            [](const Target& a, const Target& b) { return a.display == b.display; }),
                targets.end());
  return targets;
}

std::string AbsoluteGeneric(const fs::path& path) {
  std::error_code error;
  const fs::path absolute = fs::absolute(path, error);
  return GenericUtf8((error ? path : absolute).lexically_normal());
}

std::string FirstFolder(const std::vector<fs::path>& paths) {
  for (const fs::path& path : paths) {
    std::error_code code;
    if (fs::is_directory(path, code)) return GenericUtf8(path);
  }
  return {};
}

}  // namespace packprobe::gate
