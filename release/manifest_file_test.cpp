#include "release/manifest_file.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace packprobe::release {
namespace {

ManifestEntry Entry(std::string path) {
  ManifestEntry entry;
  entry.path = std::move(path);
  entry.name = "Kit \"one\"\n";
  entry.category = "Software - Tools";
  entry.type = "software";
  entry.stub = gate::ManifestVersion{"VEKStub 3.0.3.0", 3030, "3.0.3.0"};
  entry.size = 12;
  entry.sha256 = std::string(64, 'a');
  return entry;
}

TEST(ManifestFileTest, AManifestReadsBackAsWritten) {
  const std::vector<ManifestEntry> entries = {Entry("a.exe"), Entry("sub/b\xc3\xa9.exe")};
  const std::string text = ManifestText(entries);
  // One line per component between the header and the end.
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 4);
  const ManifestRead read = ParseManifest(text);
  EXPECT_EQ(read.error, "");
  EXPECT_EQ(read.entries, entries);
}

TEST(ManifestFileTest, WhatIsNoManifestIsRefusedWithWhy) {
  const std::string head = "{\"schema\":\"packprobe-manifest/1\",\"components\":[";
  const std::string good = ManifestText({Entry("a.exe")});
  const auto with = [&](const std::string& from, const std::string& to) {
    std::string text = good;
    return text.replace(text.find(from), from.size(), to);
  };
  const struct {
    std::string text;
    const char* error;
  } rows[] = {
      {"", "not JSON"},
      {"[]", "no \"schema\""},
      {"{\"schema\":\"packprobe-manifest/2\",\"components\":[]}", "is not packprobe-manifest/1"},
      {"{\"schema\":\"packprobe-manifest/1\"}", "\"components\" is missing"},
      {head + "1]}", "component 1: it is not an object"},
      {with("\"name\":", "\"name\":\"x\",\"name\":"), "appears twice"},
      {head + std::string(100000, '[') + std::string(100000, ']') + "]}", "nested deeper"},
      {with("\"sha256\":\"aaaa", "\"sha256\":\"AAAA"), "not 64 lowercase hex digits"},
      {with("\"size\":12", "\"size\":-1"), "\"size\" is not a whole number from 0 on"},
      {with("\"type\":\"software\"", "\"type\":\"tool\""), "\"type\" is neither"},
      {with("\"version\":3030", "\"version\":3000000000"), "out of range"},
      {with("\"path\":\"a.exe\"", "\"path\":\"\""), "\"path\" is empty"},
      {ManifestText({Entry("a.exe"), Entry("a.exe")}), "component 2: \"path\" \"a.exe\" is also that of component 1"},
  };
  for (const auto& row : rows) {
    const ManifestRead read = ParseManifest(row.text);
    EXPECT_NE(read.error.find(row.error), std::string::npos) << row.text.substr(0, 200) << ": " << read.error;
    EXPECT_TRUE(read.entries.empty());
  }
}

}  // namespace
}  // namespace packprobe::release
