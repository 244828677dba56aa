// Extraction speed of the archive reader against bare inflate loops and
// three other extractors. See bench/README.md for the command and what it
// prints.
//
// Builds four components in a temporary directory (removed at the end):
//   1. "veksetup.exe" of 300 MB program-like bytes, deflated;
//   2. "veksetup.exe" of 300 MB incompressible bytes, stored (as real tools
//      store what does not compress);
//   3. the same incompressible bytes, deflated (stored blocks inside deflate);
//   4. 5,000 small deflated entries, "veksetup.exe" the last of them.
// and times, interleaved, extracting "veksetup.exe":
//   reader  ZIP_File::Open + FindEntry + Extract into a file, with the
//           inflate backend this build uses;
//   floor zlib, floor ISA-L  read, raw inflate (or copy) and CRC-32 of the
//           same bytes in a bare loop with 1 MiB buffers, written to a file;
//           the directory is not read, the data's position is given;
//   floor ISA-L, no write  the same with ISA-L, writing nothing: what a
//           check that writes nothing must at least do;
//   unzip -p, bsdtar -xOf, 7z e -so  the entry to standard output, read
//           through a pipe and discarded, as a user piping it on would;
//   packprobe  the whole program checking the component: one directory
//           read, the metadata parsed in memory, the setup program streamed
//           with the ranges of its version resource kept, both version
//           reads; "packprobe (other)" is the program PACKPROBE_OTHER names
//           (the other backend, or another build of the tree).
// The components are complete (a stub with a version resource, metadata, a
// setup program with a FileVersion), so the whole check passes on them.
#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>
#if defined(PACKPROBE_BENCH_ISAL)
#include <isa-l/crc.h>
#include <isa-l/igzip_lib.h>
#endif

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "util/text.h"
#include "tests/support/pe_builder.h"
#include "tests/support/zip_writer.h"
#include "zip/inflater.h"
#include "zip/zip_file.h"

namespace {

namespace fs = std::filesystem;
using packprobe::testsupport::ZipWriterEntry;

constexpr std::size_t kLargeSize = 300u * 1000 * 1000;
// Rounds of the large cases (each round runs every contender once).
constexpr int kRounds = 5;
const char* const kEntry = "veksetup.exe";

// A temporary directory removed with everything in it, whatever happens.
class TempDir {
 public:
  TempDir() {
    std::random_device random;
    path_ = fs::temp_directory_path() / ("packprobe-bench-" + std::to_string(random()));
    fs::create_directory(path_);
  }
  ~TempDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

struct Case {
  std::string title;
  fs::path archive;
  std::uint64_t uncompressed = 0;
  // Where the entry's data lies, for the floor.
  std::uint32_t dataOffset = 0, compressedSize = 0, method = 0, crc = 0;
  int repetitions = 5;
};

// A stub program of about 64 KiB with its version in the Comments string.
std::string Stub() {
  std::string stub = packprobe::testsupport::BuildVersionedProgram({{u"Comments", u"Stub 3.0.3.0"}});
  stub += packprobe::testsupport::ProgramLikeBytes(64 * 1024, 99);
  return stub;
}

// The metadata file of the component written as `file`.
ZipWriterEntry Metadata(const std::string& file) {
  ZipWriterEntry xml;
  xml.name = fs::path(file).stem().string() + ".xml";
  xml.data =
      "<?xml version=\"1.0\"?>\n<vek_package>\n"
      "  <name><name_xlate lang=\"en\">Benchmark</name_xlate></name>\n"
      "  <category><category_xlate lang=\"en\">Software - Tools</category_xlate></category>\n"
      "</vek_package>\n";
  return xml;
}

// A setup program with a version resource, followed by bytes.
std::string SetupProgram(std::string bytes) {
  return packprobe::testsupport::BuildVersionedProgram({{u"FileVersion", u"7.9.1.0"}}) + bytes;
}

// Writes the archive and notes where the entry's data is, through the
// reader itself (checked against the floor's output below).
std::optional<Case> MakeCase(const fs::path& dir, std::string title, const std::string& file,
                             const std::vector<ZipWriterEntry>& entries, int repetitions) {
  Case c;
  c.title = std::move(title);
  c.archive = dir / file;
  {
    const std::string bytes = packprobe::testsupport::BuildArchive(entries, Stub());
    std::ofstream out(c.archive, std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) return std::nullopt;
  }
  vekzip::ZIP_File archive;
  if (archive.Open(packprobe::Utf8ToUtf16(c.archive.string()), true) != vekzip::ZIP_OK) {
    return std::nullopt;
  }
  const vekzip::ZIP_FileEntry* entry = archive.FindEntry(u"veksetup.exe");
  if (entry == nullptr) return std::nullopt;
  c.uncompressed = entry->uncompressedSize;
  c.dataOffset = entry->dataOffset;
  c.compressedSize = entry->compressedSize;
  c.method = entry->method;
  c.crc = entry->crc;
  c.repetitions = repetitions;
  return c;
}

bool ExtractWithReader(const Case& c, const fs::path& out) {
  vekzip::ZIP_File archive;
  if (archive.Open(packprobe::Utf8ToUtf16(c.archive.string()), true) != vekzip::ZIP_OK) {
    return false;
  }
  vekzip::ZIP_FileEntry* entry = archive.FindEntry(u"veksetup.exe");
  const std::u16string target = packprobe::Utf8ToUtf16(out.string());
  return entry != nullptr && entry->Extract(&target, false) == vekzip::ZIP_OK;
}

bool WriteAll(int fd, const unsigned char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

constexpr std::size_t kFloorBuffer = 1 << 20;

// The floor: what any extractor of this entry must at least do, with zlib.
bool ExtractFloorZlib(const Case& c, const fs::path& out) {
  std::vector<unsigned char> in(kFloorBuffer), produced(kFloorBuffer);
  const int input = ::open(c.archive.c_str(), O_RDONLY);
  const int output = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  bool ok = input >= 0 && output >= 0 && ::lseek(input, c.dataOffset, SEEK_SET) >= 0;
  z_stream stream{};
  if (ok && c.method == 8) ok = inflateInit2(&stream, -MAX_WBITS) == Z_OK;
  uLong crc = crc32(0, Z_NULL, 0);
  std::uint64_t left = c.compressedSize;
  int status = Z_OK;
  while (ok && left > 0 && status != Z_STREAM_END) {
    const ssize_t n = ::read(input, in.data(), std::min<std::uint64_t>(kFloorBuffer, left));
    if (n <= 0) {
      ok = false;
      break;
    }
    left -= static_cast<std::uint64_t>(n);
    if (c.method == 0) {
      crc = crc32(crc, in.data(), static_cast<uInt>(n));
      ok = WriteAll(output, in.data(), static_cast<std::size_t>(n));
      continue;
    }
    stream.next_in = in.data();
    stream.avail_in = static_cast<uInt>(n);
    do {
      stream.next_out = produced.data();
      stream.avail_out = kFloorBuffer;
      status = inflate(&stream, Z_NO_FLUSH);
      if (status != Z_OK && status != Z_STREAM_END) {
        ok = false;
        break;
      }
      const std::size_t d = kFloorBuffer - stream.avail_out;
      crc = crc32(crc, produced.data(), static_cast<uInt>(d));
      ok = WriteAll(output, produced.data(), d);
    } while (ok && stream.avail_out == 0);
  }
  if (c.method == 8) inflateEnd(&stream);
  if (input >= 0) ::close(input);
  if (output >= 0) ::close(output);
  return ok && crc == c.crc;
}

#if defined(PACKPROBE_BENCH_ISAL)
// The same floor with ISA-L's inflate and CRC-32; without `write`, the
// bytes are only inflated and summed, as a check that writes nothing must
// at least do.
bool FloorIsal(const Case& c, const fs::path& out, bool write) {
  std::vector<unsigned char> in(kFloorBuffer), produced(kFloorBuffer);
  const int input = ::open(c.archive.c_str(), O_RDONLY);
  const int output = write ? ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644) : -1;
  bool ok = input >= 0 && (output >= 0 || !write) && ::lseek(input, c.dataOffset, SEEK_SET) >= 0;
  auto state = std::make_unique<inflate_state>();
  isal_inflate_init(state.get());
  state->crc_flag = ISAL_DEFLATE;
  std::uint32_t crc = 0;
  std::uint64_t left = c.compressedSize;
  bool finished = false;
  while (ok && left > 0 && !finished) {
    const ssize_t n = ::read(input, in.data(), std::min<std::uint64_t>(kFloorBuffer, left));
    if (n <= 0) {
      ok = false;
      break;
    }
    left -= static_cast<std::uint64_t>(n);
    if (c.method == 0) {
      crc = crc32_gzip_refl(crc, in.data(), static_cast<std::uint64_t>(n));
      ok = !write || WriteAll(output, in.data(), static_cast<std::size_t>(n));
      continue;
    }
    state->next_in = in.data();
    state->avail_in = static_cast<std::uint32_t>(n);
    do {
      state->next_out = produced.data();
      state->avail_out = kFloorBuffer;
      if (isal_inflate(state.get()) < 0) {
        ok = false;
        break;
      }
      const std::size_t d = kFloorBuffer - state->avail_out;
      crc = crc32_gzip_refl(crc, produced.data(), d);
      ok = !write || WriteAll(output, produced.data(), d);
      finished = state->block_state == ISAL_BLOCK_FINISH;
    } while (ok && !finished && (state->avail_in > 0 || state->avail_out == 0));
  }
  if (input >= 0) ::close(input);
  if (output >= 0) ::close(output);
  return ok && crc == c.crc;
}

bool ExtractFloorIsal(const Case& c, const fs::path& out) { return FloorIsal(c, out, true); }
bool InflateFloorIsal(const Case& c, const fs::path& out) { return FloorIsal(c, out, false); }
#endif

std::string Quote(const fs::path& path) {
  std::string quoted(1, '\'');
  quoted.append(path.string());
  quoted.push_back('\'');
  return quoted;
}

bool HaveTool(const char* tool) {
  return std::system((std::string("command -v ") + tool + " >/dev/null 2>&1").c_str()) == 0;
}

bool RunTool(const std::string& command) { return std::system(command.c_str()) == 0; }

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

struct Contender {
  Contender() = default;
  Contender(std::string n, std::function<bool(const Case&, const fs::path&)> r)
      : name(std::move(n)), run(std::move(r)) {}

  std::string name;
  std::function<bool(const Case&, const fs::path&)> run;
  // What is timed, when it differs from run (which the check round uses).
  std::function<bool(const Case&, const fs::path&)> timed;
  std::vector<double> seconds;
  bool failed = false;
  bool writesEntry = true;  // false: checked by its exit status alone
};

struct Tools {
  bool unzip = false, bsdtar = false, sevenZip = false;
  std::string other;  // packprobe built with the other inflate backend
};

// A whole program on the component: passes with exit status 0.
bool CheckProgram(const std::string& program, const Case& c, const fs::path& out) {
  return RunTool("TMPDIR=" + Quote(out.parent_path()) + " " + Quote(program) + " /nologo " +
                 Quote(c.archive) + " > /dev/null");
}

bool CheckWithProgram(const Case& c, const fs::path& out) {
  return CheckProgram(PACKPROBE_EXE, c, out);
}

// A tool that writes the entry to standard output: checked once into a
// file, timed through a pipe whose reader discards what it gets.
Contender PipedTool(const std::string& name, const std::string& prefix, const std::string& suffix) {
  Contender tool;
  tool.name = name;
  tool.run = [prefix, suffix](const Case& k, const fs::path& out) {
    return RunTool(prefix + Quote(k.archive) + suffix + " 2>/dev/null > " + Quote(out));
  };
  tool.timed = [prefix, suffix](const Case& k, const fs::path&) {
    return RunTool(prefix + Quote(k.archive) + suffix +
                   " 2>/dev/null | cat > /dev/null");
  };
  return tool;
}

void RunCase(const Case& c, const fs::path& dir, const Tools& tools) {
  std::vector<Contender> contenders;
  contenders.push_back({std::string("reader (") + vekzip::detail::BuildEngine().name + ")",
                        ExtractWithReader});
  contenders.push_back({"floor zlib", ExtractFloorZlib});
#if defined(PACKPROBE_BENCH_ISAL)
  contenders.push_back({"floor ISA-L", ExtractFloorIsal});
  Contender inflateOnly{"floor ISA-L, no write", InflateFloorIsal};
  inflateOnly.writesEntry = false;
  contenders.push_back(inflateOnly);
#endif
  if (tools.unzip) contenders.push_back(PipedTool("unzip -p", "unzip -p ", std::string(" ") + kEntry));
  if (tools.bsdtar) {
    contenders.push_back(PipedTool("bsdtar -xOf", "bsdtar -xOf ", std::string(" ") + kEntry));
  }
  if (tools.sevenZip) {
    contenders.push_back(PipedTool("7z e -so", "7z e -so ", std::string(" ") + kEntry));
  }
  Contender check{std::string("packprobe (") + vekzip::detail::BuildEngine().name + ")",
                  CheckWithProgram};
  check.writesEntry = false;
  contenders.push_back(check);
  if (!tools.other.empty()) {
    Contender other{"packprobe (other)", [program = tools.other](const Case& k, const fs::path& out) {
                      return CheckProgram(program, k, out);
                    }};
    other.writesEntry = false;
    contenders.push_back(other);
  }
  const fs::path out = dir / "extracted.out";
  // One untimed round first: the archive in the page cache for everyone,
  // and a check that every contender writes the same bytes.
  for (Contender& contender : contenders) {
    std::error_code ignored;
    fs::remove(out, ignored);
    if (!contender.run(c, out) ||
        (contender.writesEntry && fs::file_size(out) != c.uncompressed)) {
      contender.failed = true;
    }
  }
  for (int round = 0; round < c.repetitions; ++round) {
    // Each round starts with a different contender, and each run with the
    // page cache's dirty pages written back, so that no contender always
    // pays for the writes of the one before it.
    for (std::size_t k = 0; k < contenders.size(); ++k) {
      Contender& contender = contenders[(k + static_cast<std::size_t>(round)) % contenders.size()];
      if (contender.failed) continue;
      std::error_code ignored;
      fs::remove(out, ignored);
      ::sync();
      const auto start = std::chrono::steady_clock::now();
      const bool ok = contender.timed ? contender.timed(c, out) : contender.run(c, out);
      const auto stop = std::chrono::steady_clock::now();
      if (!ok) contender.failed = true;
      contender.seconds.push_back(std::chrono::duration<double>(stop - start).count());
    }
  }
  std::error_code ignored;
  fs::remove(out, ignored);

  std::printf("\n%s (%.1f MB uncompressed, %d rounds)\n", c.title.c_str(),
              static_cast<double>(c.uncompressed) / 1e6, c.repetitions);
  const auto find = [&](const std::string& name) -> const Contender* {
    for (const Contender& k : contenders) {
      if (k.name == name && !k.failed) return &k;
    }
    return nullptr;
  };
  const Contender* floorZlib = find("floor zlib");
  const Contender* floorIsal = find("floor ISA-L");
  const Contender* floorNoWrite = find("floor ISA-L, no write");
  const Contender* bsdtar = find("bsdtar -xOf");
  const Contender* unzip = find("unzip -p");
  // Ratios are medians of per-round ratios: each round runs every contender
  // once, back to back, so that load on the machine hits them alike.
  const auto ratio = [](const Contender& a, const Contender* b) {
    if (b == nullptr) return 0.0;
    std::vector<double> ratios;
    for (std::size_t i = 0; i < a.seconds.size() && i < b->seconds.size(); ++i) {
      ratios.push_back(a.seconds[i] / b->seconds[i]);
    }
    return ratios.empty() ? 0.0 : Median(ratios);
  };
  std::printf("  %-21s %11s %8s %9s %9s %9s %9s %9s\n", "", "median ms", "MB/s", "/fl zlib",
              "/fl ISA-L", "/no write", "/bsdtar", "/unzip");
  for (const Contender& contender : contenders) {
    if (contender.failed) {
      std::printf("  %-21s %11s\n", contender.name.c_str(), "FAILED");
      continue;
    }
    const double median = Median(contender.seconds);
    std::printf("  %-21s %11.1f %8.1f %9.2f %9.2f %9.2f %9.2f %9.2f\n", contender.name.c_str(),
                median * 1000, static_cast<double>(c.uncompressed) / 1e6 / median,
                ratio(contender, floorZlib), ratio(contender, floorIsal),
                ratio(contender, floorNoWrite), ratio(contender, bsdtar), ratio(contender, unzip));
  }
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  // Optional arguments name the cases to run ("1 3"); all by default.
  std::vector<bool> wanted(5, argc == 1);
  for (int i = 1; i < argc; ++i) {
    const int index = std::atoi(argv[i]);
    if (index >= 1 && index <= 4) wanted[index] = true;
  }
  TempDir dir;
  Tools tools;
  tools.unzip = HaveTool("unzip");
  tools.bsdtar = HaveTool("bsdtar");
  tools.sevenZip = HaveTool("7z");
  if (const char* other = std::getenv("PACKPROBE_OTHER")) tools.other = other;
  if (!tools.unzip) std::printf("unzip is not installed: its row is left out\n");
  if (!tools.bsdtar) std::printf("bsdtar is not installed (libarchive-tools): its row is left out\n");
  if (!tools.sevenZip) std::printf("7z is not installed (p7zip-full): its row is left out\n");
  std::printf("building the inputs in %s ...\n", dir.path().c_str());
  std::fflush(stdout);

  std::vector<Case> cases;
  if (wanted[1]) {
    ZipWriterEntry setup;
    setup.name = kEntry;
    setup.data = SetupProgram(packprobe::testsupport::ProgramLikeBytes(kLargeSize, 1));
    if (auto c = MakeCase(dir.path(), "1. 300 MB of program-like bytes, deflated",
                          "deflated.exe", {Metadata("deflated.exe"), setup}, kRounds)) {
      cases.push_back(*c);
    }
  }
  if (wanted[2]) {
    ZipWriterEntry setup;
    setup.name = kEntry;
    setup.deflate = false;
    setup.data = SetupProgram(packprobe::testsupport::RandomBytes(kLargeSize, 2));
    if (auto c = MakeCase(dir.path(), "2. 300 MB of incompressible bytes, stored", "stored.exe",
                          {Metadata("stored.exe"), setup}, kRounds)) {
      cases.push_back(*c);
    }
  }
  if (wanted[3]) {
    ZipWriterEntry setup;
    setup.name = kEntry;
    setup.data = SetupProgram(packprobe::testsupport::RandomBytes(kLargeSize, 2));
    if (auto c = MakeCase(dir.path(), "3. 300 MB of incompressible bytes, deflated",
                          "random-deflated.exe", {Metadata("random-deflated.exe"), setup},
                          kRounds)) {
      cases.push_back(*c);
    }
  }
  if (wanted[4]) {
    std::vector<ZipWriterEntry> entries;
    entries.push_back(Metadata("many.exe"));
    for (int i = 1; i < 4999; ++i) {
      ZipWriterEntry small;
      small.name = "files/file" + std::to_string(i) + ".dat";
      small.data = packprobe::testsupport::ProgramLikeBytes(2000, static_cast<std::uint32_t>(i));
      entries.push_back(std::move(small));
    }
    ZipWriterEntry setup;
    setup.name = kEntry;
    setup.data = SetupProgram(packprobe::testsupport::ProgramLikeBytes(100000, 5));
    entries.push_back(std::move(setup));
    if (auto c = MakeCase(dir.path(), "4. 5,000 small entries, the last one extracted",
                          "many.exe", entries, 21)) {
      cases.push_back(*c);
    }
  }
  if (cases.size() !=
      static_cast<std::size_t>(std::count(wanted.begin() + 1, wanted.end(), true))) {
    std::printf("could not build the inputs\n");
    return 1;
  }
  std::printf("inflate backend of this build: %s\n", vekzip::detail::BuildEngine().name);
  for (const Case& c : cases) RunCase(c, dir.path(), tools);
  return 0;
}
