#include "release/diff.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace packprobe::release {
namespace {

ManifestEntry Entry(std::string path, char digest = 'a', std::int32_t stub = 3030) {
  ManifestEntry entry;
  entry.path = std::move(path);
  entry.name = "Kit";
  entry.stub = gate::ManifestVersion{"VEKStub", stub, "v"};
  entry.setup = gate::ManifestVersion{"7.9.1.0", 7910, "7.9.1.0"};
  entry.size = 10;
  entry.sha256 = std::string(64, digest);
  return entry;
}

ManifestEntry Changed(ManifestEntry entry, const std::function<void(ManifestEntry&)>& change) {
  change(entry);
  return entry;
}

// The kind, path and a part of the detail of each change.
using Seen = std::vector<std::tuple<std::string, std::string, std::string>>;

TEST(DiffTest, EachKindOfChange) {
  const ManifestEntry broken = Changed(Entry("x"), [](ManifestEntry& e) {
    e.failure = "metadata-missing";
    e.stub.reset();
    e.setup.reset();
  });
  const struct {
    const char* why;
    std::vector<ManifestEntry> before, after;
    Seen changes;
  } rows[] = {
      {"the same", {Entry("a")}, {Entry("a")}, {}},
      {"added and removed", {Entry("a")}, {Entry("b", 'b')}, {{"removed", "a", "Kit"}, {"added", "b", "Kit"}}},
      {"upgraded", {Entry("a")}, {Entry("a", 'b', 3040)}, {{"upgraded", "a", "3030) -> v (3040)"}}},
      {"down anywhere is a downgrade",
       {Entry("a")},
       {Changed(Entry("a", 'b', 3040), [](ManifestEntry& e) { e.setup->version = 7000; })},
       {{"downgraded", "a", "VEKSetup"}}},
      {"other bytes", {Entry("a")}, {Entry("a", 'b')}, {{"content-changed", "a", "SHA-256 aaaaaaaaaaaa -> bbbbbbbbbbbb"}}},
      {"a version text, the same number",
       {Entry("a")},
       {Changed(Entry("a"), [](ManifestEntry& e) { e.stub->text.emplace("VEKStub rc"); })},
       {{"content-changed", "a", "VEKStub text"}}},
      {"no longer inspected", {Entry("a")}, {Changed(broken, [](ManifestEntry& e) { e.path = std::string(1, 'a'); })},
       {{"content-changed", "a", "no longer inspected (metadata-missing)"}}},
      {"renamed", {Entry("a")}, {Entry("b")}, {{"renamed", "b", "from a, the same content"}}},
      // Two copies with one digest went, one arrived: one rename, one removal.
      {"two copies, one arrival", {Entry("a"), Entry("b")}, {Entry("c")},
       {{"removed", "b", "Kit"}, {"renamed", "c", "from a"}}},
      {"a rename that broke it", {Entry("x.exe")}, {Changed(broken, [](ManifestEntry& e) { e.path = "y.exe"; })},
       {{"renamed", "y.exe", "but now not inspected (metadata-missing)"}}},
      {"without digests, only the size tells", {Changed(Entry("a"), [](ManifestEntry& e) { e.sha256.reset(); })},
       {Changed(Entry("a"), [](ManifestEntry& e) { e.sha256.reset(); })}, {}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.why);
    const std::vector<Change> changes = DiffReleases(row.before, row.after);
    ASSERT_EQ(changes.size(), row.changes.size());
    for (std::size_t i = 0; i < changes.size(); ++i) {
      const auto& [kind, path, detail] = row.changes[i];
      EXPECT_EQ(ChangeName(changes[i].kind), kind);
      EXPECT_EQ(changes[i].path, path);
      EXPECT_NE(changes[i].detail.find(detail), std::string::npos) << changes[i].detail;
    }
  }
}

}  // namespace
}  // namespace packprobe::release
