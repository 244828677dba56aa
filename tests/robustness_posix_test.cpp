// End-to-end tests of what the program promises when the host, the paths,
// signals or memory turn against it: the verdict is never lost to a crash
// or a wrong pass, nothing is left behind, and a fault of the host is a
// system error (6), never blamed on the component.
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <iostream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/component_builder.h"
#include "tests/support/pe_builder.h"
#include "tests/support/permission_bits.h"
#include "tests/support/program_runner.h"
#include "tests/support/scratch_dir.h"
#include "tests/support/zip_writer.h"

namespace packprobe::testsupport {
namespace {

namespace fs = std::filesystem;

const std::string kInvalid = "A valid component was not passed.\n";
const std::string kSystem = "A system error occurred during processing.\n";
const std::string kPassed = "The component passed the validation check.\n";

ZipWriterEntry Entry(const std::string& name, std::string data) {
  ZipWriterEntry entry;
  entry.name = name;
  entry.data = std::move(data);
  return entry;
}

// A component whose setup program carries `padding` more bytes of 'x'.
std::string PaddedComponent(const std::string& metadataName, std::size_t padding) {
  return BuildArchive({Entry(metadataName, MetadataXml("Kit", "Software")),
                       Entry("veksetup.exe", BuildVersionedProgram({{u"FileVersion", u"1.0"}}) +
                                                 std::string(padding, 'x'))},
                      BuildVersionedProgram({{u"Comments", u"3.0.3.0"}}));
}

// A component whose setup program's resource section holds `size` bytes:
// above the capture bound, the check extracts it into the work directory.
std::string ExtractedComponent(const std::string& metadataName, std::size_t size) {
  ComponentContents contents;
  contents.metadataName = metadataName;
  contents.metadata = MetadataXml("Kit", "Software");
  contents.setupFileVersion = u"1.0";
  contents.setupResourceSectionSize = size;
  return BuildComponent(contents);
}

constexpr std::size_t kBeyondCaptureBound = (std::size_t{64} << 20) + 4096;

void SetLimit(int resource, rlim_t value) {
  rlimit limit{};
  getrlimit(resource, &limit);
  limit.rlim_cur = value;
  setrlimit(resource, &limit);
}

// Allocation sweeps fail every kStride-th allocation in turn: each run starts
// slowly under the sanitizers.
#ifdef __SANITIZE_ADDRESS__
constexpr int kStride = 3;
#else
constexpr int kStride = 1;
#endif

class RobustnessTest : public ::testing::Test {
 protected:
  ComponentContents Kit(const std::string& name, const std::string& metadataName = "kit.xml") {
    ComponentContents contents;
    contents.metadataName = metadataName;
    contents.metadata = MetadataXml(name, "Software");
    return contents;
  }

  void Put(const std::string& file, const ComponentContents& contents) {
    WriteFile(cwd_ / file, BuildComponent(contents));
  }

  // Runs the program in the scratch directory; checks that TMPDIR is empty
  // again and that nothing reached standard error.
  ProgramResult Run(std::vector<std::string> arguments, std::function<void()> childSetup = {},
                    const fs::path& tmpdir = {}) {
    const fs::path tmp = tmpdir.empty() ? tmp_.path() : tmpdir;
    arguments.insert(arguments.begin(), "/nologo");
    ProgramResult result =
        RunProgram({PACKPROBE_EXE, arguments, cwd_.path(), {{"TMPDIR", tmp.string()}}}, childSetup);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(ListTree(tmp), std::vector<std::string>{});
    return result;
  }

  ScratchDir cwd_;
  ScratchDir tmp_;
};

// Items 1 and 2: a failed allocation, once or for good, anywhere in a run.
TEST_F(RobustnessTest, EveryAllocationFailureEndsInTheVerdictOrASystemError) {
  Put("kit.exe", Kit("Kit"));
  struct Case {
    std::string arguments;
    std::set<int> allowed;  // the verdict, or a system error (with the setup comparison's 2)
    bool staysExhausted;
  };
  const Case cases[] = {
      {"/setupmax:7", {2, 6, 8}, false},  // a failing component never passes
      {"/setupmin:0", {0, 6}, true},
  };
  for (const Case& c : cases) {
    int points = 0;
    for (int n = 1;; ++n) {
      const std::string fail = std::to_string(n) + (c.staysExhausted ? "+" : "");
      const ProgramResult result =
          RunProgram({PACKPROBE_FAILING_ALLOCATOR_EXE,
                      {"kit.exe", "/nologo", c.arguments},
                      cwd_.path(),
                      {{"TMPDIR", tmp_.path().string()}, {"PACKPROBE_FAIL_ALLOCATION", fail}}});
      if (result.err.empty()) break;  // the run made fewer than n allocations
      ++points;
      ASSERT_TRUE(c.allowed.count(result.exitCode))
          << "allocation " << fail << " gave " << result.exitCode << ":\n" << result.out;
      ASSERT_EQ(result.err, "allocation refused\n");
      ASSERT_EQ(ListTree(tmp_.path()), std::vector<std::string>{}) << "allocation " << fail;
    }
    EXPECT_GT(points, 100);
  }
}

// The same sweep over packprobe-scan checking a component whose setup
// version is out of range: a failed allocation anywhere gives that verdict
// (1), a system error for the component (2), or a scan that could not run
// (71) or whose report could not be written (74); never a pass. The text
// report: the JSON library allocates while it destroys a value, where a
// refusal cannot be survived, so the JSON formats are not swept.
TEST_F(RobustnessTest, EveryAllocationFailureOfAScanKeepsItFromPassing) {
  Put("kit.exe", Kit("Kit"));
  int points = 0;
  for (int n = 1;; ++n) {
    const ProgramResult result =
        RunProgram({PACKPROBE_SCAN_FAILING_ALLOCATOR_EXE,
                    {"-j", "1", "--setup-max", "7.0.0.0", "kit.exe"},
                    cwd_.path(),
                    {{"TMPDIR", tmp_.path().string()},
                     {"PACKPROBE_FAIL_ALLOCATION", std::to_string(n)}}});
    if (result.err.find("allocation refused\n") == std::string::npos) {
      EXPECT_EQ(result.exitCode, 1);  // the run made fewer than n allocations
      break;
    }
    ++points;
    ASSERT_TRUE(result.exitCode == 1 || result.exitCode == 2 || result.exitCode == 71 ||
                result.exitCode == 74)
        << "allocation " << n << " gave " << result.exitCode << ":\n" << result.out << result.err;
    ASSERT_EQ(ListTree(tmp_.path()), std::vector<std::string>{}) << "allocation " << n;
  }
  EXPECT_GT(points, 100);
}

// A failed allocation anywhere in the metadata's load, and anywhere else
// of a check, never drops a part of the document and passes on what is
// left: on components whose verdict needs every element (a firmware
// category under the firmware filter, a display name that makes a
// duplicate), each run ends in the true verdict or in a system error, and
// a manifest is written whole and true or not at all. packprobe's every
// allocation fails in turn; the scan's checks run on worker threads, whose
// allocations alone are counted, without the start-up and report around
// them.
TEST_F(RobustnessTest, NoAllocationFailureOfACheckDropsPartOfTheMetadata) {
  ComponentContents firmware;
  firmware.metadataName = "fw.xml";
  firmware.metadata = MetadataXml("Firmware Kit", "Firmware - Disk");
  for (const char* folder : {"rel/a", "rel/b"}) {
    fs::create_directories(cwd_ / folder);
    Put(std::string(folder) + "/fw.exe", firmware);
  }
  Put("fw.exe", firmware);
  const ProgramResult manifest = RunProgram({PACKPROBE_SCAN_EXE, {"snapshot", "rel"}, cwd_.path(), {}});
  ASSERT_EQ(manifest.exitCode, 0) << manifest.err;

  struct Case {
    const char* program;
    std::vector<std::string> arguments;
    bool workersOnly;
    int truth;
    std::set<int> systemErrors;
  };
  const Case cases[] = {
      // The stub is out of range (1), but only a firmware component is compared.
      {PACKPROBE_FAILING_ALLOCATOR_EXE, {"fw.exe", "/nologo", "/fwonly", "/stubmax:1"}, false, 1,
       {6}},
      // The second component duplicates the first (2); a system error is 2 too.
      {PACKPROBE_SCAN_FAILING_ALLOCATOR_EXE,
       {"-j", "2", "--firmware-only", "--error-on", "duplicate-component", "rel"}, true, 2, {71}},
      // 0 only with the manifest of an undisturbed run.
      {PACKPROBE_SCAN_FAILING_ALLOCATOR_EXE, {"snapshot", "-j", "2", "rel"}, true, 0, {2, 71}},
  };
  for (const Case& c : cases) {
    int points = 0;
    for (int n = 1;; n += kStride) {
      std::map<std::string, std::string> environment = {
          {"TMPDIR", tmp_.path().string()}, {"PACKPROBE_FAIL_ALLOCATION", std::to_string(n)}};
      if (c.workersOnly) environment["PACKPROBE_FAIL_ALLOCATION_ON"] = "workers";
      const ProgramResult r = RunProgram({c.program, c.arguments, cwd_.path(), environment});
      if (r.err.find("allocation refused\n") == std::string::npos) {
        EXPECT_EQ(r.exitCode, c.truth) << c.arguments[0];  // fewer than n allocations
        break;
      }
      ++points;
      ASSERT_TRUE(r.exitCode == c.truth || c.systemErrors.count(r.exitCode))
          << c.arguments[0] << ": allocation " << n << " gave " << r.exitCode << ":\n"
          << r.out << r.err;
      if (c.arguments[0] == "snapshot" && r.exitCode == 0) {
        ASSERT_EQ(r.out, manifest.out) << "allocation " << n;
      }
      ASSERT_EQ(ListTree(tmp_.path()), std::vector<std::string>{}) << "allocation " << n;
    }
    EXPECT_GT(points, 150 / kStride) << c.arguments[0];
  }
}

// The same sweep over what reads JSON: merge and diff of reports, a scan
// against a manifest. Every allocation fails in turn; each run ends in its
// true verdict, or in 71 (no memory) or 74 (the report not written): never
// a pass, never a report or manifest taken for malformed (65) because
// memory ran out while it was read.
TEST_F(RobustnessTest, EveryAllocationFailureWhileReportsAndManifestsAreReadEndsIn71) {
  for (const char* folder : {"rel/a", "rel/b"}) {
    fs::create_directories(cwd_ / folder);
    Put(std::string(folder) + "/kit.exe", Kit(std::string("Kit ") + folder));
  }
  const auto scan = [&](const std::vector<std::string>& arguments) {
    const ProgramResult r = RunProgram({PACKPROBE_SCAN_EXE, arguments, cwd_.path(), {}});
    ASSERT_LE(r.exitCode, 1) << r.err;
  };
  scan({"snapshot", "-o", "release.json", "rel"});
  scan({"--format", "jsonl", "-o", "before.jsonl", "rel"});
  scan({"--format", "jsonl", "--setup-max", "7.0.0.0", "-o", "after.jsonl", "rel"});
  // The manifest's second entry is of another version.
  ASSERT_EQ(RunProgram({"/bin/sh", {"-c", "sed -i '3s/\"version\":3030/\"version\":3020/' release.json"},
                        cwd_.path(), {}})
                .exitCode,
            0);
  const struct Case {
    std::vector<std::string> arguments;
    int truth;
  } cases[] = {
      {{"merge", "after.jsonl"}, 1},
      {{"diff", "before.jsonl", "release.json"}, 1},
      {{"-j", "1", "--manifest", "release.json", "rel"}, 4},
  };
  for (const Case& c : cases) {
    int points = 0;
    for (int n = 1;; n += kStride) {
      const ProgramResult r = RunProgram({PACKPROBE_SCAN_FAILING_ALLOCATOR_EXE, c.arguments, cwd_.path(),
                                          {{"TMPDIR", tmp_.path().string()},
                                           {"PACKPROBE_FAIL_ALLOCATION", std::to_string(n)}}});
      if (r.err.find("allocation refused\n") == std::string::npos) {
        EXPECT_EQ(r.exitCode, c.truth) << c.arguments[0] << r.err;  // fewer than n allocations
        break;
      }
      ++points;
      ASSERT_TRUE(r.exitCode == c.truth || r.exitCode == 71 || r.exitCode == 74 ||
                  (c.truth == 4 && r.exitCode == 2))
          << c.arguments[0] << ": allocation " << n << " gave " << r.exitCode << ":\n" << r.out << r.err;
      ASSERT_EQ(ListTree(tmp_.path()), std::vector<std::string>{}) << "allocation " << n;
    }
    EXPECT_GT(points, 300 / kStride) << c.arguments[0];
  }
}

// A signal while the setup program is being extracted.
TEST_F(RobustnessTest, TerminatingSignalsRemoveTheWorkDirectoryAndStillKill) {
  // A setup program that inflates to 96 MiB from an archive of a few
  // hundred KiB, with a resource section beyond the capture bound: it is
  // extracted, which takes long enough to be caught in the act.
  WriteFile(cwd_ / "kit.exe", ExtractedComponent("kit.xml", 96 << 20));

  for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      if (chdir(cwd_.path().c_str()) != 0) _exit(127);
      setenv("TMPDIR", tmp_.path().c_str(), 1);
      const int null = open("/dev/null", O_WRONLY);
      dup2(null, STDOUT_FILENO);
      SetLimit(RLIMIT_CORE, 0);
      execl(PACKPROBE_EXE, PACKPROBE_EXE, "kit.exe", static_cast<char*>(nullptr));
      _exit(127);
    }
    // Wait until the work directory holds the setup program.
    bool extracting = false;
    for (int polls = 0; polls < 20000 && !extracting; ++polls) {
      std::error_code ignored;
      for (const auto& entry : fs::recursive_directory_iterator(tmp_.path(), ignored)) {
        if (entry.path().filename() == "veksetup.exe") extracting = true;
      }
      if (!extracting) std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    kill(child, signal);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(extracting) << "signal " << signal;
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal)
        << "signal " << signal << ", status " << status;
    EXPECT_EQ(ListTree(tmp_.path()), std::vector<std::string>{}) << "signal " << signal;
  }
}

// Items 3 and 7: a full disk (here a file-size limit, which would raise
// SIGXFSZ) and too many open files are the host's faults where the check
// writes (a setup program extracted beyond the capture bound); a check that
// writes nothing is not touched by them.
TEST_F(RobustnessTest, HostFailuresAreSystemErrors) {
  Put("kit.exe", Kit("Kit"));
  WriteFile(cwd_ / "big.exe", PaddedComponent("big.xml", 4 << 20));
  WriteFile(cwd_ / "large.exe", ExtractedComponent("large.xml", kBeyondCaptureBound));
  const auto fullDisk = [] { SetLimit(RLIMIT_FSIZE, 1 << 20); };
  EXPECT_EQ(Run({"big.exe"}, fullDisk).exitCode, 0);
  ProgramResult full = Run({"large.exe"}, fullDisk);
  EXPECT_EQ(full.exitCode, 6);
  EXPECT_EQ(full.out.substr(0, kSystem.size()), kSystem);

#ifndef __SANITIZE_ADDRESS__  // the sanitizers' runtime needs descriptors of its own
  // Room for one file besides the standard streams: the component opens,
  // the extracted file cannot be created.
  const auto fewFiles = [] {
    for (int fd = 3; fd < 1024; ++fd) close(fd);
    SetLimit(RLIMIT_NOFILE, 4);
  };
  EXPECT_EQ(Run({"kit.exe"}, fewFiles).exitCode, 0);
  ProgramResult files = Run({"large.exe"}, fewFiles);
  EXPECT_EQ(files.exitCode, 6);
  EXPECT_EQ(files.out.substr(0, kSystem.size()), kSystem);
#endif

  // A component the user may not read (the superuser made to obey the
  // permission bits).
  fs::permissions(cwd_ / "kit.exe", fs::perms::none);
  constexpr int kCannotObey = 125;
  ProgramResult denied = Run({"kit.exe"}, [] {
    if (getuid() == 0 && !ObeyPermissionBits()) _exit(kCannotObey);
  });
  if (denied.exitCode == kCannotObey) {
    GTEST_SKIP() << "the superuser cannot be made to obey permission bits here";
  }
  EXPECT_EQ(denied.exitCode, 6);
  EXPECT_EQ(denied.out.substr(0, kSystem.size()), kSystem);
}

// A check writes nothing unless the setup program's version resource needs
// more than the capture bound: with TMPDIR missing, read-only or on a full
// file system a component passes, and one beyond the bound is a system
// error as every check was before. The read-only and full file systems are
// mounted in a private mount namespace; where none can be had, those cases
// are skipped.
TEST_F(RobustnessTest, OnlyAnExtractedSetupProgramNeedsTheTemporaryDirectory) {
  Put("kit.exe", Kit("Kit"));
  WriteFile(cwd_ / "large.exe", ExtractedComponent("large.xml", kBeyondCaptureBound));
  const std::string tmp = tmp_.path().string();
  constexpr int kNoNamespace = 77;
  const auto privateMount = [tmp](bool full) {
    return [tmp, full] {
      if (unshare(CLONE_NEWNS) != 0 ||
          mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        _exit(kNoNamespace);
      }
      if (full) {
        if (mount("tmpfs", tmp.c_str(), "tmpfs", 0, "size=64k") != 0) _exit(kNoNamespace);
        const int fd = open((tmp + "/fill").c_str(), O_WRONLY | O_CREAT, 0600);
        char block[4096] = {};
        while (fd >= 0 && write(fd, block, sizeof block) > 0) {
        }
      } else if (mount(tmp.c_str(), tmp.c_str(), nullptr, MS_BIND, nullptr) != 0 ||
                 mount(nullptr, tmp.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY,
                       nullptr) != 0) {
        _exit(kNoNamespace);
      }
    };
  };
  struct Case {
    const char* what;
    std::function<void()> setup;
    fs::path tmpdir;
  };
  const Case cases[] = {
      {"missing", {}, tmp_.path() / "missing"},
      {"read-only", privateMount(false), {}},
      {"full", privateMount(true), {}},
  };
  for (const Case& c : cases) {
    const ProgramResult passed = Run({"kit.exe"}, c.setup, c.tmpdir);
    if (passed.exitCode == kNoNamespace && passed.out.empty()) {
      std::cout << "[ SKIPPED  ] " << c.what << ": no private mount namespace here\n";
      continue;
    }
    EXPECT_EQ(passed.exitCode, 0) << c.what;
    EXPECT_NE(passed.out.find(kPassed), std::string::npos) << c.what << ":\n" << passed.out;
    const ProgramResult extracted = Run({"large.exe"}, c.setup, c.tmpdir);
    EXPECT_EQ(extracted.exitCode, 6) << c.what;
    EXPECT_EQ(extracted.out.substr(0, kSystem.size()), kSystem) << c.what;
  }
}

// Only regular files are components, and nothing waits on a pipe.
TEST_F(RobustnessTest, PipesAndDevicesAreInvalidAtOnce) {
  ASSERT_EQ(mkfifo((cwd_ / "kit.exe").c_str(), 0600), 0);
  for (const std::string path : {"kit.exe", "/dev/zero"}) {
    const ProgramResult result = Run({path});
    EXPECT_EQ(result.exitCode, 5) << path;
    EXPECT_EQ(result.out.substr(0, kInvalid.size()), kInvalid) << path;
  }
}

// One path, one file: '\' is an ordinary character of a name.
TEST_F(RobustnessTest, ABackslashIsPartOfTheName) {
  fs::create_directory(cwd_ / "d");
  Put("d/k.exe", Kit("Kit in d", "k.xml"));
  ComponentContents other = Kit("Kit with a backslash", "k.xml");
  other.comments = u"VEKStub 2.0.0.0";
  Put("d\\k.exe", other);
  EXPECT_NE(Run({"d/k.exe"}).out.find("Component name: Kit in d\nComponent file: k.exe\n"
                                      "VEKStub Version: 3.0.3.0\n"),
            std::string::npos);
  EXPECT_NE(Run({"d\\k.exe"}).out.find("Component name: Kit with a backslash\nComponent file: "
                                       "k.exe\nVEKStub Version: 2.0.0.0\n"),
            std::string::npos);

  // A TMPDIR with a backslash in its name is used as it is.
  const fs::path tmp = tmp_.path() / "a\\b";
  fs::create_directory(tmp);
  const std::vector<std::string> before = ListTree(cwd_.path());
  const ProgramResult result = Run({"d/k.exe"}, {}, tmp);
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(ListTree(cwd_.path()), before);
  EXPECT_EQ(ListTree(tmp_.path()), std::vector<std::string>{"a\\b/"});
}

// File names and TMPDIR that are not UTF-8.
TEST_F(RobustnessTest, NamesThatAreNotUtf8StillNameTheirFiles) {
  Put("k\xFF.exe", Kit("Kit", "k\xFF.xml"));
  const fs::path tmp = tmp_.path() / "t\xFE";
  fs::create_directory(tmp);
  const ProgramResult result = Run({"k\xFF.exe"}, {}, tmp);
  EXPECT_EQ(result.exitCode, 0) << result.out;
  EXPECT_NE(result.out.find("Component file: k\xEF\xBF\xBD.exe\n"), std::string::npos);
  EXPECT_EQ(ListTree(tmp_.path()), std::vector<std::string>{"t\xFE/"});
}

// Items 9 and 10: a reader that goes away, and a umask that takes the
// owner's write permission.
TEST_F(RobustnessTest, AClosedPipeAndAStrictUmaskKeepTheVerdict) {
  Put("kit.exe", Kit("Kit"));
  const auto closedPipe = [] {
    int ends[2];
    if (pipe(ends) != 0) _exit(127);
    dup2(ends[1], STDOUT_FILENO);
    close(ends[0]);
    close(ends[1]);
  };
  EXPECT_EQ(Run({"kit.exe"}, closedPipe).exitCode, 0);
  EXPECT_EQ(Run({"kit.exe", "/setupmax:7"}, closedPipe).exitCode, 2);

  const ProgramResult strict = Run({"kit.exe"}, [] { umask(0277); });
  EXPECT_EQ(strict.exitCode, 0);
  EXPECT_NE(strict.out.find(kPassed), std::string::npos);
}

// A metadata file that no real one approaches is refused unread.
TEST_F(RobustnessTest, AnOversizedMetadataFileIsASystemError) {
  ComponentContents big = Kit("Kit");
  big.metadata += std::string(17 << 20, ' ');
  Put("kit.exe", big);
  const ProgramResult result = Run({"kit.exe"});
  EXPECT_EQ(result.exitCode, 6);
  EXPECT_EQ(result.out.substr(0, kSystem.size()), kSystem);
}

}  // namespace
}  // namespace packprobe::testsupport
