#include "release/diff.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <system_error>

#include "gate/check.h"
#include "gate/shares.h"
#include "gate/targets.h"
#include "platform/stdio_file.h"
#include "release/manifest_file.h"
#include "report/escape.h"
#include "report/jsonl.h"
#include "report/jsonl_reader.h"
#include "util/shown_text.h"
#include "util/version.h"

namespace packprobe::release {
namespace {

using gate::ScanRecord;

// --- reading -----------------------------------------------------------------

// Reads every report in the stream, one after another, and checks that
// together they are one whole run.
Release ReadReports(const std::string& name, std::FILE* stream) {
  Release release;
  report::ReportReader reader(name, stream);
  std::vector<gate::ShareReport> shares;
  std::vector<std::string> names;
  std::vector<gate::FoundPaths> found;
  while (release.error.empty() && !reader.AtEnd()) {
    report::RunHeader header;
    if (!reader.ReadHeader(header, release.error)) break;
    const std::string part = name + " (report " + std::to_string(shares.size() + 1) + ")";
    shares.push_back({part, report::SettingsKey(header), header.settings.shard});
    ScanRecord record;
    report::ReportReader::Next next;
    while ((next = reader.ReadRecord(record, release.error)) == report::ReportReader::Next::kRecord) {
      release.entries.push_back(gate::EntryOfRecord(record));
    }
    if (next == report::ReportReader::Next::kFailed) break;
    names.push_back(part);
    found.push_back(reader.closing().found);
  }
  if (release.error.empty()) release.error = gate::CheckShares(shares);
  if (release.error.empty()) release.error = gate::CheckFoundAgree(names, found);
  if (!release.error.empty()) release.error = "is not a whole report: " + release.error;
  return release;
}

Release ReadFolder(const std::filesystem::path& folder, const gate::Selection& selection, unsigned jobs,
                   const gate::CheckOptions& check) {
  Release release;
  const std::vector<gate::Target> targets =
      gate::CollectTargets({folder}, {selection.follow, selection.exclude});
  gate::CheckAll(targets, jobs, [&](ScanRecord&& record) {
    // A release that could not be searched whole cannot be compared.
    if (record.reason && record.reason->code == "folder-unreadable") {
      release.error = ShownPath(record.path) + ": " + record.reason->detail;
      return false;
    }
    release.entries.push_back(gate::EntryOfRecord(record));
    return true;
  }, {}, gate::CheckOptions{true, check.trust, check.now});
  return release;
}

// The first line of a stream, which is then read again from the start.
std::string FirstLine(std::FILE* stream) {
  std::string line;
  for (int c; line.size() < report::ReportReader::kMaxLine && (c = std::fgetc(stream)) != EOF && c != '\n';) {
    line += static_cast<char>(c);
  }
  std::rewind(stream);
  return line;
}

// --- comparing ---------------------------------------------------------------

std::int32_t Number(const std::optional<gate::ManifestVersion>& version) {
  return version ? version->version : -1;
}

std::string Versions(const ManifestEntry& entry) {
  if (entry.failure) return "not inspected (" + *entry.failure + ")";
  return "VEKStub " + (entry.stub ? entry.stub->display : std::string("-")) + ", VEKSetup " +
         (entry.setup ? entry.setup->display : std::string("none"));
}

std::string Describe(const ManifestEntry& entry) {
  return (entry.name.empty() ? std::string("(no name)") : entry.name) + ", " + Versions(entry);
}

std::string Short(const std::optional<std::string>& sha256) {
  return sha256 ? sha256->substr(0, 12) : std::string("unknown");
}

std::string Quote(const std::optional<std::string>& text) { return text ? "\"" + *text + "\"" : "none"; }

// The change of one path present in both releases, if any.
std::optional<Change> Compare(const ManifestEntry& before, const ManifestEntry& after) {
  Change change;
  change.path = after.path;
  change.oldPath = before.path;
  change.before = before;
  change.after = after;
  if (!before.failure && !after.failure) {
    const std::int32_t stubBefore = Number(before.stub), stubAfter = Number(after.stub);
    const std::int32_t setupBefore = Number(before.setup), setupAfter = Number(after.setup);
    if (stubBefore != stubAfter || setupBefore != setupAfter) {
      change.kind = stubAfter < stubBefore || setupAfter < setupBefore ? ChangeKind::kDowngraded
                                                                       : ChangeKind::kUpgraded;
      std::string detail;
      if (stubBefore != stubAfter) {
        detail = "VEKStub " + gate::DescribeVersion(before.stub) + " -> " + gate::DescribeVersion(after.stub);
      }
      if (setupBefore != setupAfter) {
        if (!detail.empty()) detail += "; ";
        detail += "VEKSetup " + gate::DescribeVersion(before.setup) + " -> " + gate::DescribeVersion(after.setup);
      }
      if (const std::string signers = gate::SignerChange(before, after, "was"); !signers.empty()) {
        detail += "; " + signers;
      }
      change.detail = detail;
      return change;
    }
    if (std::string signers = gate::SignerChange(before, after, "was"); !signers.empty()) {
      change.kind = ChangeKind::kSignerChanged;
      change.detail = "the same versions; " + signers;
      return change;
    }
  }
  std::string detail;
  const auto add = [&](const std::string& part) { detail += (detail.empty() ? "" : "; ") + part; };
  if (before.failure != after.failure) {
    add(after.failure ? (before.failure ? "not inspected (" + *after.failure + ", was " + *before.failure + ")"
                                        : "no longer inspected (" + *after.failure + ")")
                      : "inspected again (was " + *before.failure + ")");
  }
  if (!before.failure && !after.failure) {
    const auto textOf = [](const std::optional<gate::ManifestVersion>& v) { return v ? v->text : std::nullopt; };
    if (textOf(before.stub) != textOf(after.stub)) {
      add("VEKStub text " + Quote(textOf(before.stub)) + " -> " + Quote(textOf(after.stub)));
    }
    if (textOf(before.setup) != textOf(after.setup)) {
      add("VEKSetup text " + Quote(textOf(before.setup)) + " -> " + Quote(textOf(after.setup)));
    }
    if (before.name != after.name) add("display name \"" + before.name + "\" -> \"" + after.name + "\"");
    if (before.category != after.category) add("category " + Quote(before.category) + " -> " + Quote(after.category));
    if (before.type != after.type) add("type " + Quote(before.type) + " -> " + Quote(after.type));
  }
  // A digest missing on either side (a report made without --hash) cannot
  // tell; the size still can.
  if (before.sha256 && after.sha256 && *before.sha256 != *after.sha256) {
    add("SHA-256 " + Short(before.sha256) + " -> " + Short(after.sha256));
  }
  if (before.size && after.size && *before.size != *after.size) {
    add("size " + std::to_string(*before.size) + " -> " + std::to_string(*after.size) + " bytes");
  }
  if (detail.empty()) return std::nullopt;
  change.kind = ChangeKind::kContentChanged;
  change.detail = (before.failure || after.failure ? "" : "the same versions; ") + detail;
  return change;
}

// --- writing -----------------------------------------------------------------

std::string CountsLine(const std::vector<Change>& changes) {
  if (changes.empty()) return "no changes";
  std::string line = std::to_string(changes.size()) + (changes.size() == 1 ? " change: " : " changes: ");
  bool first = true;
  for (const ChangeRow& row : kChanges) {
    const auto count = std::count_if(changes.begin(), changes.end(), [&](const Change& c) { return c.kind == row.kind; });
    if (count == 0) continue;
    line += (first ? "" : ", ") + std::to_string(count) + " " + std::string(row.name);
    first = false;
  }
  return line;
}

std::string EntryObject(const std::optional<ManifestEntry>& entry) {
  if (!entry) return "null";
  std::string json = EntryJson(*entry);
  json.pop_back();
  return json + ",\"failure\":" + (entry->failure ? report::JsonString(*entry->failure) : std::string("null")) + "}";
}

}  // namespace

std::string_view ChangeName(ChangeKind kind) {
  for (const ChangeRow& row : kChanges) {
    if (row.kind == kind) return row.name;
  }
  return "content-changed";
}

std::vector<Change> DiffReleases(const std::vector<ManifestEntry>& before, const std::vector<ManifestEntry>& after) {
  std::map<std::string, const ManifestEntry*> old, now;
  for (const ManifestEntry& entry : before) old.emplace(entry.path, &entry);
  for (const ManifestEntry& entry : after) now.emplace(entry.path, &entry);
  std::vector<Change> changes;
  std::vector<const ManifestEntry*> removed, added;
  for (const auto& [path, entry] : old) {
    const auto it = now.find(path);
    if (it == now.end()) {
      removed.push_back(entry);
    } else if (auto change = Compare(*entry, *it->second)) {
      changes.push_back(std::move(*change));
    }
  }
  for (const auto& [path, entry] : now) {
    if (!old.contains(path)) added.push_back(entry);
  }
  // A component that left one path and arrived at another with the same
  // bytes was renamed; the first unmatched one in path order pairs up.
  std::multimap<std::string, const ManifestEntry*> arrivals;
  for (const ManifestEntry* entry : added) {
    if (entry->sha256) arrivals.emplace(*entry->sha256, entry);
  }
  std::vector<const ManifestEntry*> paired;
  for (const ManifestEntry* entry : removed) {
    Change change;
    change.before = *entry;
    change.oldPath = entry->path;
    const auto match = entry->sha256 ? arrivals.find(*entry->sha256) : arrivals.end();
    if (match != arrivals.end()) {
      const ManifestEntry& arrival = *match->second;
      change.kind = ChangeKind::kRenamed;
      change.path = arrival.path;
      change.after = arrival;
      change.detail = "from " + entry->path + ", the same content (SHA-256 " + Short(entry->sha256) + ")";
      // The same bytes can check otherwise elsewhere: a metadata file is
      // named after the component file, so a rename can break it.
      if (arrival.failure && !entry->failure) {
        change.detail += ", but now not inspected (" + *arrival.failure + ")";
      } else if (!arrival.failure && entry->failure) {
        change.detail += ", and now inspected (was " + *entry->failure + ")";
      }
      paired.push_back(match->second);
      arrivals.erase(match);
    } else {
      change.kind = ChangeKind::kRemoved;
      change.path = entry->path;
      change.detail = Describe(*entry);
    }
    changes.push_back(std::move(change));
  }
  for (const ManifestEntry* entry : added) {
    if (std::find(paired.begin(), paired.end(), entry) != paired.end()) continue;
    Change change;
    change.kind = ChangeKind::kAdded;
    change.path = entry->path;
    change.after = *entry;
    change.detail = Describe(*entry);
    changes.push_back(std::move(change));
  }
  std::stable_sort(changes.begin(), changes.end(), [](const Change& a, const Change& b) { return a.path < b.path; });
  return changes;
}

Release LoadRelease(const std::string& path, const gate::Selection& selection,
                    const std::vector<std::string>& keys, unsigned jobs, const gate::CheckOptions& check) {
  const std::filesystem::path native = gate::PathFromUtf8(path);
  std::error_code code;
  Release release;
  if (std::filesystem::is_directory(native, code)) {
    release = ReadFolder(native, selection, jobs, check);
  } else {
    platform::HostFault fault = platform::HostFault::kNone;
    const platform::StdioFile file = platform::OpenFileForReading(gate::PathToUtf16(native.native()), &fault);
    if (!file) {
      release.error = "cannot be read: " + (fault == platform::HostFault::kNone
                                                ? std::string("it is no regular file or folder that exists")
                                                : std::string(platform::HostFaultText(fault)));
    } else if (report::LooksLikeReport(FirstLine(file.get()))) {
      release = ReadReports(path, file.get());
    } else {
      ManifestRead read = ParseManifest(file.get());
      release.entries = std::move(read.entries);
      if (!read.error.empty()) {
        release.error = "is neither a JSON Lines report nor a release manifest (" + read.error + ")";
      }
    }
    // Entries of a report or a manifest are left out by their path in the
    // release, as if found in the folder named.
    std::erase_if(release.entries, [&](const ManifestEntry& entry) {
      return gate::Excluded(selection.exclude, entry.path, "");
    });
  }
  if (!release.error.empty()) return release;
  if (!keys.empty()) {
    std::erase_if(release.entries, [&](const ManifestEntry& entry) {
      return std::find(keys.begin(), keys.end(), entry.path) == keys.end();
    });
  }
  std::sort(release.entries.begin(), release.entries.end(),
            [](const ManifestEntry& a, const ManifestEntry& b) { return a.path < b.path; });
  const auto twin = std::adjacent_find(release.entries.begin(), release.entries.end(),
                                       [](const ManifestEntry& a, const ManifestEntry& b) { return a.path == b.path; });
  if (twin != release.entries.end()) release.error = "holds two components at \"" + twin->path + "\"";
  return release;
}

std::string DiffText(const std::vector<Change>& changes) {
  std::string text;
  for (const Change& change : changes) {
    char kind[24];
    std::snprintf(kind, sizeof kind, "%-16s ", std::string(ChangeName(change.kind)).c_str());
    text += kind + ShownPath(change.path) + ": " + EscapeControls(change.detail) + "\n";
  }
  if (!changes.empty()) text += "\n";
  return text + CountsLine(changes) + "\n";
}

std::string DiffJsonLines(const std::vector<Change>& changes, const std::string& before, const std::string& after,
                          int exitCode) {
  using report::JsonString;
  std::string text = "{\"schema\":\"packprobe-diff/1\",\"program\":\"packprobe-scan\",\"version\":" +
                     JsonString(kProjectVersion) + ",\"old\":" + JsonString(before) + ",\"new\":" +
                     JsonString(after) + "}\n";
  for (const Change& change : changes) {
    // A path that is not UTF-8 also comes as its bytes, as in the reports.
    text += "{\"change\":" + JsonString(ChangeName(change.kind)) + ",\"path\":" + JsonString(change.path) +
            ",\"path_bytes\":" +
            (ValidUtf8(change.path) == change.path ? std::string("null") : JsonString(Base64(change.path))) +
            ",\"old_path\":" + (change.oldPath.empty() ? std::string("null") : JsonString(change.oldPath)) +
            ",\"old\":" + EntryObject(change.before) + ",\"new\":" + EntryObject(change.after) +
            ",\"detail\":" + JsonString(change.detail) + "}\n";
  }
  std::string counts;
  for (const ChangeRow& row : kChanges) {
    const auto count = std::count_if(changes.begin(), changes.end(), [&](const Change& c) { return c.kind == row.kind; });
    counts += (counts.empty() ? "" : ",") + JsonString(row.name) + ":" + std::to_string(count);
  }
  return text + "{\"complete\":true,\"total\":" + std::to_string(changes.size()) + ",\"counts\":{" + counts +
         "},\"exit_code\":" + std::to_string(exitCode) + "}\n";
}

std::string DiffMarkdown(const std::vector<Change>& changes, const std::string& before, const std::string& after) {
  using report::MarkdownText;
  std::string text = "### Changes from " + MarkdownText(before) + " to " + MarkdownText(after) + "\n\n";
  if (!changes.empty()) {
    text += "| Change | Component | Before | After | Detail |\n|---|---|---|---|---|\n";
    for (const Change& change : changes) {
      text += "| " + std::string(ChangeName(change.kind)) + " | " + MarkdownText(ShownPath(change.path)) +
              (change.oldPath.empty() || change.oldPath == change.path
                   ? ""
                   : " (was " + MarkdownText(ShownPath(change.oldPath)) + ")") +
              " | " + (change.before ? MarkdownText(Describe(*change.before)) : "") + " | " +
              (change.after ? MarkdownText(Describe(*change.after)) : "") + " | " +
              // Added and removed components are described in full already.
              (change.before && change.after ? MarkdownText(change.detail) : "") + " |\n";
    }
    text += "\n";
  }
  return text + "**" + CountsLine(changes) + "**\n";
}

}  // namespace packprobe::release
