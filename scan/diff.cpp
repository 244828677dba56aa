#include "scan/diff.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <map>
#include <sstream>
#include <cctype>
#include <system_error>

#include "scan/scanner.h"
#include "scan/shown_text.h"
#include "scan/subcommand.h"
#include "scan/targets.h"
#include "scan/version.h"
#include "util/text.h"

namespace packprobe::scan {
namespace {

using Json = nlohmann::ordered_json;

constexpr int kDiffSame = 0;
constexpr int kDiffChanged = 1;

constexpr ChangeKind kAllKinds[] = {ChangeKind::kAdded,      ChangeKind::kRemoved,
                                    ChangeKind::kUpgraded,   ChangeKind::kDowngraded,
                                    ChangeKind::kContentChanged, ChangeKind::kRenamed};

std::string Dump(const Json& json) {
  return json.dump(-1, ' ', false, Json::error_handler_t::replace);
}

// --- reading ---------------------------------------------------------------

std::int32_t Number(const std::optional<ManifestVersion>& version) {
  return version ? version->version : -1;
}

std::optional<ManifestVersion> ReportVersion(const Json& record, const char* key) {
  const auto it = record.find(key);
  if (it == record.end() || !it->is_object()) return std::nullopt;
  const auto number = it->find("version");
  if (number == it->end() || !number->is_number_integer()) return std::nullopt;
  ManifestVersion version;
  version.version = number->get<std::int32_t>();
  if (const auto text = it->find("text"); text != it->end() && text->is_string()) {
    version.text = text->get<std::string>();
  }
  if (const auto display = it->find("display"); display != it->end() && display->is_string()) {
    version.display = display->get<std::string>();
  }
  return version;
}

std::optional<std::string> OptionalString(const Json& record, const char* key) {
  const auto it = record.find(key);
  if (it == record.end() || !it->is_string()) return std::nullopt;
  return it->get<std::string>();
}

// One component record of a report; nothing for a record that stands for
// no file (an absent manifest entry). Throws std::string for a record that
// is not one.
std::optional<ManifestEntry> EntryOfReportRecord(const Json& record) {
  if (!record["path"].is_string()) throw std::string("\"path\" is not a string");
  const std::string outcome = OptionalString(record, "outcome").value_or("");
  if (outcome == "absent") return std::nullopt;
  ManifestEntry entry;
  entry.path = OptionalString(record, "relative_path").value_or("");
  if (entry.path.empty()) entry.path = record["path"].get<std::string>();
  entry.name = OptionalString(record, "name").value_or("");
  entry.category = OptionalString(record, "category");
  entry.type = OptionalString(record, "type");
  if (const auto size = record.find("size"); size != record.end() && size->is_number_unsigned()) {
    entry.size = size->get<std::uint64_t>();
  }
  entry.sha256 = OptionalString(record, "sha256");
  entry.stub = ReportVersion(record, "stub");
  entry.setup = ReportVersion(record, "setup");
  if (outcome == "missing" || outcome == "invalid" || outcome == "system-error" || !entry.stub) {
    std::string code = outcome.empty() ? "not-inspected" : outcome;
    if (const auto reason = record.find("reason"); reason != record.end() && reason->is_object()) {
      code = OptionalString(*reason, "code").value_or(code);
    }
    entry.failure = code;
    entry.stub.reset();
    entry.setup.reset();
  }
  return entry;
}

// Reads a JSON Lines report, or the reports of several shards one after
// the other: each a header, its records and (from schema 2 on) its closing
// record.
Release ReadReport(std::string_view text) {
  Release release;
  std::string schema;  // of the report being read; empty between reports
  bool closed = false;
  std::size_t lineNumber = 0;
  const auto cut = [&] { return !schema.empty() && schema != "packprobe-scan/1" && !closed; };
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    const std::string_view line = text.substr(0, end);
    text.remove_prefix(end == text.npos ? text.size() : end + 1);
    ++lineNumber;
    if (line.empty() || line == "\r") continue;
    const std::string where = "line " + std::to_string(lineNumber) + ": ";
    const Json json = Json::parse(line, nullptr, false);
    if (json.is_discarded() || !json.is_object()) {
      release.error = where + "not a JSON object";
      return release;
    }
    if (json.contains("schema")) {
      if (cut()) {
        release.error = where + "a header before the previous report's closing record: it is cut";
        return release;
      }
      schema = json["schema"].is_string() ? json["schema"].get<std::string>() : "?";
      if (!schema.starts_with("packprobe-scan/")) {
        release.error = where + "schema \"" + schema + "\" is no packprobe-scan report";
        return release;
      }
      closed = false;
      continue;
    }
    if (schema.empty() || closed) {
      release.error = where + (schema.empty() ? "no header before the records"
                                              : "a record after the closing record");
      return release;
    }
    if (json.contains("complete")) {
      closed = true;
      continue;
    }
    if (!json.contains("path")) {
      release.error = where + "neither a record nor a closing record";
      return release;
    }
    try {
      if (auto entry = EntryOfReportRecord(json)) release.entries.push_back(std::move(*entry));
    } catch (const std::string& why) {
      release.error = where + why;
      return release;
    }
  }
  // Reports of schema 1 had no closing record; later ones are cut without it.
  if (cut()) release.error = "the report has no closing record: it is cut";
  return release;
}

Release ReadFolder(const std::filesystem::path& folder, unsigned jobs) {
  Release release;
  const std::vector<Target> targets = CollectTargets({folder});
  CheckAll(targets, CheckCriteria{}, jobs, [&](ScanRecord&& record) {
    // A release that could not be searched whole cannot be compared.
    if (record.reason && record.reason->code == "folder-unreadable") {
      release.error = record.path + ": " + record.reason->detail;
      return false;
    }
    ManifestEntry entry = EntryOfRecord(record);
    if (!record.inspected || ScanExitCode(record.outcome) == kScanFailed) {
      entry.failure = record.reason ? record.reason->code : std::string(OutcomeName(record.outcome));
      entry.stub.reset();
      entry.setup.reset();
    }
    release.entries.push_back(std::move(entry));
    return true;
  }, {}, true);
  return release;
}

// --- comparing ---------------------------------------------------------------

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

std::string Quote(const std::optional<std::string>& text) {
  return text ? "\"" + *text + "\"" : "none";
}

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
        detail = "VEKStub " + DescribeVersion(before.stub) + " -> " + DescribeVersion(after.stub);
      }
      if (setupBefore != setupAfter) {
        if (!detail.empty()) detail += "; ";
        detail += "VEKSetup " + DescribeVersion(before.setup) + " -> " + DescribeVersion(after.setup);
      }
      change.detail = detail;
      return change;
    }
  }
  std::string detail;
  const auto add = [&](const std::string& part) { detail += (detail.empty() ? "" : "; ") + part; };
  if (before.failure != after.failure) {
    add(after.failure ? "no longer inspected (" + *after.failure + ")"
                      : "inspected again (was " + *before.failure + ")");
  }
  if (!before.failure && !after.failure) {
    const auto textOf = [](const std::optional<ManifestVersion>& v) {
      return v ? v->text : std::nullopt;
    };
    if (textOf(before.stub) != textOf(after.stub)) {
      add("VEKStub text " + Quote(textOf(before.stub)) + " -> " + Quote(textOf(after.stub)));
    }
    if (textOf(before.setup) != textOf(after.setup)) {
      add("VEKSetup text " + Quote(textOf(before.setup)) + " -> " + Quote(textOf(after.setup)));
    }
    if (before.name != after.name) add("display name \"" + before.name + "\" -> \"" + after.name + "\"");
    if (before.category != after.category) {
      add("category " + Quote(before.category) + " -> " + Quote(after.category));
    }
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

// Paths as every report shows them (quoted with escapes when not plain),
// package strings with their control characters escaped.
std::string Escaped(std::string_view text) { return EscapeControls(text); }

// Text for a Markdown table cell: escaped as for a terminal, then every
// ASCII punctuation character backslash-escaped (CommonMark allows it for
// all of them), so that no name can open a link, a code span, an HTML tag
// or a new cell.
std::string MarkdownCell(std::string_view text) {
  std::string out;
  for (const char c : Escaped(text)) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x80 && std::ispunct(u)) out += '\\';
    out += c;
  }
  return out;
}

std::string CountsLine(const std::vector<Change>& changes) {
  if (changes.empty()) return "no changes";
  std::string line = std::to_string(changes.size()) + (changes.size() == 1 ? " change: " : " changes: ");
  bool first = true;
  for (const ChangeKind kind : kAllKinds) {
    const auto count = std::count_if(changes.begin(), changes.end(),
                                     [&](const Change& c) { return c.kind == kind; });
    if (count == 0) continue;
    line += (first ? "" : ", ") + std::to_string(count) + " " + std::string(ChangeName(kind));
    first = false;
  }
  return line;
}

std::string TextDiff(const std::vector<Change>& changes) {
  std::string text;
  for (const Change& change : changes) {
    char kind[24];
    std::snprintf(kind, sizeof kind, "%-16s ", std::string(ChangeName(change.kind)).c_str());
    text += kind + ShownPath(change.path) + ": " + Escaped(change.detail) + "\n";
  }
  if (!changes.empty()) text += "\n";
  return text + CountsLine(changes) + "\n";
}

Json EntryObject(const std::optional<ManifestEntry>& entry) {
  if (!entry) return nullptr;
  Json json = Json::parse(EntryJson(*entry));
  json["failure"] = entry->failure ? Json(*entry->failure) : Json(nullptr);
  return json;
}

std::string JsonLinesDiff(const std::vector<Change>& changes, const std::string& before,
                          const std::string& after, int exitCode) {
  Json header;
  header["schema"] = "packprobe-diff/1";
  header["program"] = "packprobe-scan";
  header["version"] = kProjectVersion;
  header["old"] = before;
  header["new"] = after;
  std::string text = Dump(header) + "\n";
  for (const Change& change : changes) {
    Json json;
    json["change"] = std::string(ChangeName(change.kind));
    // A path that is not UTF-8 also comes as its bytes, as in the reports.
    json["path"] = change.path;
    json["path_bytes"] = ValidUtf8(change.path) == change.path ? Json(nullptr) : Json(Base64(change.path));
    json["old_path"] = change.oldPath.empty() ? Json(nullptr) : Json(change.oldPath);
    json["old"] = EntryObject(change.before);
    json["new"] = EntryObject(change.after);
    json["detail"] = change.detail;
    text += Dump(json) + "\n";
  }
  Json closing;
  closing["complete"] = true;
  closing["total"] = changes.size();
  Json counts = Json::object();
  for (const ChangeKind kind : kAllKinds) {
    counts[std::string(ChangeName(kind))] =
        std::count_if(changes.begin(), changes.end(), [&](const Change& c) { return c.kind == kind; });
  }
  closing["counts"] = std::move(counts);
  closing["exit_code"] = exitCode;
  return text + Dump(closing) + "\n";
}

std::string MarkdownDiff(const std::vector<Change>& changes, const std::string& before,
                         const std::string& after) {
  std::string text = "### Changes from " + MarkdownCell(before) + " to " + MarkdownCell(after) + "\n\n";
  if (!changes.empty()) {
    text += "| Change | Component | Before | After | Detail |\n|---|---|---|---|---|\n";
    for (const Change& change : changes) {
      text += "| " + std::string(ChangeName(change.kind)) + " | " + MarkdownCell(ShownPath(change.path)) +
              (change.oldPath.empty() || change.oldPath == change.path
                   ? ""
                   : " (was " + MarkdownCell(ShownPath(change.oldPath)) + ")") +
              " | " + (change.before ? MarkdownCell(Describe(*change.before)) : "") + " | " +
              (change.after ? MarkdownCell(Describe(*change.after)) : "") + " | " +
              // Added and removed components are described in full already.
              (change.before && change.after ? MarkdownCell(change.detail) : "") + " |\n";
    }
    text += "\n";
  }
  return text + "**" + CountsLine(changes) + "**\n";
}

constexpr const char* kDiffFooter =
    "OLD and NEW are each a folder (scanned, with hashing), a JSON Lines report of\n"
    "packprobe-scan (--format jsonl; with --hash to see content changes), or a\n"
    "release manifest (snapshot), in any mix. Components are matched by their path\n"
    "relative to the folder named. Changes: added, removed, upgraded, downgraded\n"
    "(any version lower), content-changed (same versions, other bytes, metadata or\n"
    "inspection result), renamed (same SHA-256, other path).\n"
    "\n"
    "Exit codes:\n"
    "  0   nothing changed\n"
    "  1   something changed\n"
    "  64  usage error\n"
    "  65  an input cannot be read, or is neither a folder, a report nor a manifest\n"
    "  74  the output could not be written\n";

void Say(const std::string& text) {
  std::fputs(("packprobe-scan: diff: " + Escaped(text) + "\n").c_str(), stderr);
  std::fflush(stderr);
}

}  // namespace

std::string_view ChangeName(ChangeKind kind) {
  switch (kind) {
    case ChangeKind::kAdded: return "added";
    case ChangeKind::kRemoved: return "removed";
    case ChangeKind::kUpgraded: return "upgraded";
    case ChangeKind::kDowngraded: return "downgraded";
    case ChangeKind::kContentChanged: return "content-changed";
    case ChangeKind::kRenamed: return "renamed";
  }
  return "content-changed";
}

std::vector<Change> DiffReleases(const std::vector<ManifestEntry>& before,
                                 const std::vector<ManifestEntry>& after) {
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
      change.kind = ChangeKind::kRenamed;
      change.path = match->second->path;
      change.after = *match->second;
      change.detail = "from " + entry->path + ", the same content (SHA-256 " + Short(entry->sha256) + ")";
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
  std::stable_sort(changes.begin(), changes.end(),
                   [](const Change& a, const Change& b) { return a.path < b.path; });
  return changes;
}

Release LoadRelease(const std::string& path, unsigned jobs) {
  const std::filesystem::path native = PathFromUtf8(path);
  std::error_code code;
  Release release;
  if (std::filesystem::is_directory(native, code)) {
    release = ReadFolder(native, jobs);
  } else {
    // Reports of many components are large; a gigabyte is far beyond any
    // release and keeps a mistaken input from exhausting memory.
    constexpr std::uint64_t kLimit = std::uint64_t{1} << 30;
    std::string why;
    const std::optional<std::string> text = ReadWholeFile(native, kLimit, why);
    if (!text) {
      release.error = "cannot be read: " + why;
    } else {
      // A report's first line is a whole JSON object; a manifest's is not.
      const std::string_view first = std::string_view(*text).substr(0, text->find('\n'));
      const Json header = Json::parse(first, nullptr, false);
      if (!header.is_discarded() && header.is_object() && header.contains("schema") &&
          header["schema"].is_string() &&
          header["schema"].get<std::string>().starts_with("packprobe-scan/")) {
        release = ReadReport(*text);
        if (!release.error.empty()) release.error = "is a malformed report: " + release.error;
      } else {
        ManifestRead read = ParseManifest(*text);
        release.entries = std::move(read.entries);
        if (!read.error.empty()) {
          release.error = "is neither a JSON Lines report nor a release manifest (" + read.error + ")";
        }
      }
    }
  }
  if (!release.error.empty()) return release;
  std::sort(release.entries.begin(), release.entries.end(),
            [](const ManifestEntry& a, const ManifestEntry& b) { return a.path < b.path; });
  const auto twin = std::adjacent_find(
      release.entries.begin(), release.entries.end(),
      [](const ManifestEntry& a, const ManifestEntry& b) { return a.path == b.path; });
  if (twin != release.entries.end()) {
    release.error = "holds two components at \"" + twin->path + "\"";
  }
  return release;
}

int RunDiffProgram(const std::vector<std::string>& arguments, unsigned defaultJobs) {
  CLI::App app("Lists what changed between two releases.", "packprobe-scan diff");
  app.footer(kDiffFooter);
  enum class DiffFormat { kText, kJsonl, kMarkdown };
  std::string before, after, output;
  DiffFormat format = DiffFormat::kText;
  unsigned jobs = defaultJobs;
  app.add_option("OLD", before, "the earlier release: a folder, a JSON Lines report or a manifest")
      ->option_text(" ")
      ->required();
  app.add_option("NEW", after, "the later release, likewise")->option_text(" ")->required();
  const std::map<std::string, DiffFormat> formats = {
      {"text", DiffFormat::kText}, {"jsonl", DiffFormat::kJsonl}, {"markdown", DiffFormat::kMarkdown}};
  app.add_option("--format", format, "text, jsonl or markdown (default: text)")
      ->transform(CLI::CheckedTransformer(formats))
      ->option_text("FORMAT");
  app.add_option("-o,--output", output, "write the changes to FILE (default: standard output)")
      ->option_text("FILE");
  app.add_option("-j,--jobs", jobs, "parallel checks of a folder (default: the number of cores)")
      ->check(CLI::Range(1u, 1024u))
      ->option_text("N");
  if (const std::optional<int> done = ParseSubcommandLine(app, arguments, 2)) return *done;

  const Release old = LoadRelease(before, jobs);
  if (!old.error.empty()) {
    Say("\"" + before + "\" " + old.error);
    return kScanDataError;
  }
  const Release now = LoadRelease(after, jobs);
  if (!now.error.empty()) {
    Say("\"" + after + "\" " + now.error);
    return kScanDataError;
  }
  const std::vector<Change> changes = DiffReleases(old.entries, now.entries);
  const int exitCode = changes.empty() ? kDiffSame : kDiffChanged;
  std::string text;
  switch (format) {
    case DiffFormat::kText: text = TextDiff(changes); break;
    case DiffFormat::kJsonl: text = JsonLinesDiff(changes, before, after, exitCode); break;
    case DiffFormat::kMarkdown: text = MarkdownDiff(changes, before, after); break;
  }
  if (output.empty()) {
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() || std::fflush(stdout) != 0) {
      Say("the changes could not be written to standard output");
      return kScanOutputError;
    }
    return exitCode;
  }
  std::string error;
  if (!WriteFileWhole(PathFromUtf8(output), text, error)) {
    Say("\"" + output + "\" " + error);
    return kScanOutputError;
  }
  return exitCode;
}

}  // namespace packprobe::scan
