// One component, one file: components replaced by atomic rename (or
// rewritten in place) between two versions while they are checked, one
// failing the stub range and the other the setup range, never give a record
// that passes or one that mixes the two.
#include <fcntl.h>
#include <sys/stat.h>

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
// A comment of commentSize bytes in the metadata widens the gap between
// the reads of the setup program and of the stub: the metadata is parsed
// between them.
std::string Version(const std::string& tag, const std::u16string& stub,
                    const std::u16string& setup, std::size_t commentSize = 0) {
  ZipWriterEntry metadata;
  metadata.name = "kit.xml";
  metadata.data = MetadataXml("Kit " + tag, "Software");
  if (commentSize != 0) {
    metadata.data.insert(metadata.data.find("<vek_package"),
                         "<!--" + std::string(commentSize, ' ') + "-->\n");
  }
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
  // it changed; none passes and none mixes the two versions. A and B are of
  // one size, so a rewrite keeps the inode and the size; one that also sets
  // the modification time back (as rsync --inplace -t does) leaves only the
  // change time, which no one can set back, to tell.
  WriteFile(dir / "A", Version("A", u"VEKStub 2.0.0.0", u"7.9.1.0", 256 << 10));
  WriteFile(dir / "B", Version("B", u"VEKStub 3.0.3.0", u"8.9.1.0", 256 << 10));
  ASSERT_EQ(fs::file_size(dir / "A"), fs::file_size(dir / "B"));
  // Files of their own: rewriting a link of A or B in place would rewrite
  // the version itself.
  for (int i = 0; i < kComponents; ++i) {
    fs::remove(component(i));
    fs::copy_file(dir / "A", component(i));
  }
  for (const bool restoreTime : {false, true}) {
    const std::string row = restoreTime ? "modification time set back: " : "";
    stop = false;
    std::thread writer([&] {
      for (unsigned n = 0; !stop; ++n) {
        const fs::path target = component(static_cast<int>(n % kComponents));
        struct stat before {};
        const bool known = stat(target.c_str(), &before) == 0;
        std::error_code ignored;
        fs::copy_file(dir / ((n / kComponents) % 2 != 0 ? "A" : "B"), target,
                      fs::copy_options::overwrite_existing, ignored);
        if (restoreTime && known) {
          const timespec times[2] = {{0, UTIME_OMIT}, before.st_mtim};
          utimensat(AT_FDCWD, target.c_str(), times, 0);
        }
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
        EXPECT_NE(outcome, "passed") << row << line;
        EXPECT_NE(outcome, "both-out-of-range") << row << line;
        if (outcome == "stub-out-of-range") {
          EXPECT_EQ(record["name"], "Kit A") << row << line;
        } else if (outcome == "setup-out-of-range") {
          EXPECT_EQ(record["name"], "Kit B") << row << line;
        }
        if (outcome == "system-error" && record["reason"]["code"] == "component-changed") {
          ++changed;
        }
      }
    }
    stop = true;
    writer.join();
    std::cout << rewritten << " checks of components rewritten in place"
              << (restoreTime ? " with their modification time set back" : "") << ", " << changed
              << " changed\n";
  }
}

}  // namespace
}  // namespace packprobe::testsupport
