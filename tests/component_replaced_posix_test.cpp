// One component, one file: components replaced by atomic rename (or
// rewritten in place) between two versions while they are checked, one
// failing the stub range and the other the setup range, never give a record
// that passes or one that mixes the two.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <atomic>
#include <iostream>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/component_builder.h"
#include "tests/support/pe_builder.h"
#include "tests/support/program_runner.h"
#include "tests/support/scratch_dir.h"
#include "tests/support/zip_writer.h"

namespace packprobe::testsupport {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;

// A component named "Kit <tag>" whose setup program carries 1 MiB of random
// bytes after its sections, so that a check lasts long enough to be crossed.
std::string Version(const std::string& tag, const std::u16string& stub,
                    const std::u16string& setup) {
  ZipWriterEntry metadata;
  metadata.name = "kit.xml";
  metadata.data = MetadataXml("Kit " + tag, "Software");
  ZipWriterEntry program;
  program.name = "veksetup.exe";
  program.data = BuildVersionedProgram({{u"FileVersion", setup}}) + RandomBytes(1 << 20);
  return BuildArchive({metadata, program}, BuildVersionedProgram({{u"Comments", stub}}));
}

TEST(ComponentReplacedTest, ARecordNeverMixesTwoFiles) {
  ScratchDir dir;
  // A fails the stub range, B the setup range; A's setup with B's stub
  // would pass, A's stub with B's setup would fail both.
  WriteFile(dir / "A", Version("A", u"VEKStub 2.0.0.0", u"7.9.1.0"));
  WriteFile(dir / "B", Version("B", u"VEKStub 3.0.3.0", u"9.9.9.9"));
  // The metadata entry's name comes from the file's, so each component is a
  // kit.exe of its own folder.
  constexpr int kComponents = 20;
  const auto component = [&](int i) {
    return dir / "drop" / ("d" + std::to_string(i)) / "kit.exe";
  };
  for (int i = 0; i < kComponents; ++i) {
    fs::create_directories(component(i).parent_path());
    fs::create_hard_link(dir / "A", component(i));
  }

  std::atomic<bool> stop{false};
  std::thread swapper([&] {
    for (unsigned n = 0; !stop; ++n) {
      const fs::path target = component(static_cast<int>(n % kComponents));
      const fs::path staged = dir / "staged";
      std::error_code ignored;
      fs::remove(staged, ignored);
      fs::create_hard_link(dir / ((n / kComponents) % 2 != 0 ? "A" : "B"), staged, ignored);
      fs::rename(staged, target, ignored);
    }
  });

  int checks = 0, changed = 0;
  const std::vector<std::string> range = {"--stub-min", "3.0.0.0", "--setup-max", "8.0.0.0"};
  while (checks < 1000) {
    std::vector<std::string> arguments = {"--format", "jsonl", "-j", "2"};
    arguments.insert(arguments.end(), range.begin(), range.end());
    arguments.push_back((dir / "drop").string());
    const ProgramResult r = RunProgram({PACKPROBE_SCAN_EXE, arguments, dir.path(), {}});
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) {
      const Json record = Json::parse(line);
      if (!record.contains("path")) continue;
      ++checks;
      const std::string outcome = record["outcome"];
      if (outcome == "system-error") {
        EXPECT_EQ(record["reason"]["code"], "component-changed") << line;
        ++changed;
      } else if (outcome == "stub-out-of-range") {
        EXPECT_EQ(record["name"], "Kit A") << line;
      } else {
        EXPECT_EQ(outcome, "setup-out-of-range") << line;
        EXPECT_EQ(record["name"], "Kit B") << line;
      }
    }
  }
  // PACKPROBE itself: 1 (A), 2 (B), or a system error; never 0 or both.
  for (int run = 0; run < 200; ++run) {
    const ProgramResult r = RunProgram(
        {PACKPROBE_EXE,
         {"/nologo", "/stubmin:3.0.0.0", "/setupmax:8.0.0.0", component(0).string()},
         dir.path(),
         {}});
    const bool system = r.out.rfind("A system error occurred during processing.\n", 0) == 0;
    if (r.exitCode == 1 && !system) {
      EXPECT_NE(r.out.find("Component name: Kit A\n"), std::string::npos) << r.out;
    } else if (r.exitCode == 2) {
      EXPECT_NE(r.out.find("Component name: Kit B\n"), std::string::npos) << r.out;
    } else {
      EXPECT_TRUE(system) << r.exitCode << "\n" << r.out;
    }
  }
  stop = true;
  swapper.join();
  std::cout << checks << " checks, " << changed << " of them a changed component\n";

  // Components rewritten in place: a check may meet a half-written file and
  // find it invalid, and one whose file is written while it reads it finds
  // it changed; none passes and none mixes the two versions.
  stop = false;
  std::thread writer([&] {
    for (unsigned n = 0; !stop; ++n) {
      std::error_code ignored;
      fs::copy_file(dir / ((n / kComponents) % 2 != 0 ? "A" : "B"),
                    component(static_cast<int>(n % kComponents)),
                    fs::copy_options::overwrite_existing, ignored);
    }
  });
  int rewritten = 0;
  changed = 0;
  while (rewritten < 300) {
    std::vector<std::string> arguments = {"--format", "jsonl", "-j", "2"};
    arguments.insert(arguments.end(), range.begin(), range.end());
    arguments.push_back((dir / "drop").string());
    const ProgramResult r = RunProgram({PACKPROBE_SCAN_EXE, arguments, dir.path(), {}});
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) {
      const Json record = Json::parse(line);
      if (!record.contains("path")) continue;
      ++rewritten;
      const std::string outcome = record["outcome"];
      EXPECT_NE(outcome, "passed") << line;
      EXPECT_NE(outcome, "both-out-of-range") << line;
      if (outcome == "stub-out-of-range") {
        EXPECT_EQ(record["name"], "Kit A") << line;
      } else if (outcome == "setup-out-of-range") {
        EXPECT_EQ(record["name"], "Kit B") << line;
      }
      if (outcome == "system-error" && record["reason"]["code"] == "component-changed") ++changed;
    }
  }
  stop = true;
  writer.join();
  std::cout << rewritten << " checks of rewritten components, " << changed << " changed\n";
}

}  // namespace
}  // namespace packprobe::testsupport
