// Extraction speed of the archive reader against a bare zlib loop and two
// other extractors. See bench/README.md for the command and what it prints.
//
// Builds three components in a temporary directory (removed at the end):
//   1. "veksetup.exe" of 300 MB program-like bytes, deflated;
//   2. "veksetup.exe" of 300 MB incompressible bytes, stored (as real tools
//      store what does not compress);
//   3. 5,000 small deflated entries, "veksetup.exe" the last of them.
// and times, interleaved, extracting "veksetup.exe" into a file:
//   reader  ZIP_File::Open + FindEntry + Extract;
//   floor   read, raw inflate (or copy) and CRC-32 of the same bytes in a
//           bare loop with 64 KiB buffers, written to a file; the directory
//           is not read, the data's position is given;
//   floor 16K  the same loop with the reader's 16 KiB buffers;
//   unzip   `unzip -p` into a file;  bsdtar  `bsdtar -xOf` into a file;
//   packprobe  the whole program checking the component: two directory
//           reads, both extractions, two XML parses, both version reads
//           and the clean-up.
// The components are complete (a stub with a version resource, metadata, a
// setup program with a FileVersion), so the whole check passes on them.
#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "util/text.h"
#include "tests/support/pe_builder.h"
#include "tests/support/zip_writer.h"
#include "zip/zip_file.h"

namespace {

namespace fs = std::filesystem;
using packprobe::testsupport::ZipWriterEntry;

constexpr std::size_t kLargeSize = 300u * 1000 * 1000;
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

// The floor: what any extractor of this entry must at least do, with input
// and output buffers of kBuffer bytes.
template <std::size_t kBuffer>
bool ExtractFloor(const Case& c, const fs::path& out) {
  std::vector<unsigned char> in(kBuffer), produced(kBuffer);
  const int input = ::open(c.archive.c_str(), O_RDONLY);
  const int output = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  bool ok = input >= 0 && output >= 0 && ::lseek(input, c.dataOffset, SEEK_SET) >= 0;
  z_stream stream{};
  if (ok && c.method == 8) ok = inflateInit2(&stream, -MAX_WBITS) == Z_OK;
  uLong crc = crc32(0, Z_NULL, 0);
  std::uint64_t left = c.compressedSize;
  int status = Z_OK;
  while (ok && left > 0 && status != Z_STREAM_END) {
    const ssize_t n = ::read(input, in.data(), std::min<std::uint64_t>(kBuffer, left));
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
      stream.avail_out = kBuffer;
      status = inflate(&stream, Z_NO_FLUSH);
      if (status != Z_OK && status != Z_STREAM_END) {
        ok = false;
        break;
      }
      const std::size_t d = kBuffer - stream.avail_out;
      crc = crc32(crc, produced.data(), static_cast<uInt>(d));
      ok = WriteAll(output, produced.data(), d);
    } while (ok && stream.avail_out == 0);
  }
  if (c.method == 8) inflateEnd(&stream);
  if (input >= 0) ::close(input);
  if (output >= 0) ::close(output);
  return ok && crc == c.crc;
}

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
  std::string name;
  std::function<bool(const Case&, const fs::path&)> run;
  std::vector<double> seconds;
  bool failed = false;
  bool writesEntry = true;  // false: checked by its exit status alone
};

// The whole program on the component: passes with exit status 0.
bool CheckWithProgram(const Case& c, const fs::path& out) {
  return RunTool("TMPDIR=" + Quote(out.parent_path()) + " " + Quote(PACKPROBE_EXE) +
                 " /nologo " + Quote(c.archive) + " > /dev/null");
}

void RunCase(const Case& c, const fs::path& dir, bool haveUnzip, bool haveBsdtar) {
  std::vector<Contender> contenders;
  contenders.push_back({"reader", ExtractWithReader, {}, false});
  contenders.push_back({"floor", ExtractFloor<64 * 1024>, {}, false});
  // The same loop limited to the reader's 16 KiB pieces.
  contenders.push_back({"floor 16K", ExtractFloor<16 * 1024>, {}, false});
  if (haveUnzip) {
    contenders.push_back({"unzip -p",
                          [](const Case& k, const fs::path& out) {
                            return RunTool("unzip -p " + Quote(k.archive) + " " + kEntry + " > " +
                                           Quote(out) + " 2>/dev/null");
                          },
                          {},
                          false});
  }
  if (haveBsdtar) {
    contenders.push_back({"bsdtar -xOf",
                          [](const Case& k, const fs::path& out) {
                            return RunTool("bsdtar -xOf " + Quote(k.archive) + " " + kEntry +
                                           " > " + Quote(out) + " 2>/dev/null");
                          },
                          {},
                          false});
  }
  contenders.push_back({"packprobe", CheckWithProgram, {}, false, false});
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
    for (Contender& contender : contenders) {
      if (contender.failed) continue;
      std::error_code ignored;
      fs::remove(out, ignored);
      const auto start = std::chrono::steady_clock::now();
      const bool ok = contender.run(c, out);
      const auto stop = std::chrono::steady_clock::now();
      if (!ok) contender.failed = true;
      contender.seconds.push_back(std::chrono::duration<double>(stop - start).count());
    }
  }
  std::error_code ignored;
  fs::remove(out, ignored);

  std::printf("\n%s (%.1f MB uncompressed, %d runs each)\n", c.title.c_str(),
              static_cast<double>(c.uncompressed) / 1e6, c.repetitions);
  std::printf("  %-12s %12s %10s %14s\n", "", "median (ms)", "MB/s", "ratio to floor");
  const double floor = contenders[1].failed ? 0 : Median(contenders[1].seconds);
  for (const Contender& contender : contenders) {
    if (contender.failed) {
      std::printf("  %-12s %12s\n", contender.name.c_str(), "FAILED");
      continue;
    }
    const double median = Median(contender.seconds);
    std::printf("  %-12s %12.1f %10.1f %14.2f\n", contender.name.c_str(), median * 1000,
                static_cast<double>(c.uncompressed) / 1e6 / median,
                floor > 0 ? median / floor : 0.0);
  }
  // The whole check against the tool that prints the same entry.
  const auto unzip = std::find_if(contenders.begin(), contenders.end(),
                                  [](const Contender& k) { return k.name == "unzip -p"; });
  const Contender& check = contenders.back();
  if (unzip != contenders.end() && !unzip->failed && !check.failed) {
    std::printf("  packprobe / unzip -p: %.2f\n", Median(check.seconds) / Median(unzip->seconds));
  }
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  // Optional arguments name the cases to run ("1 3"); all by default.
  std::vector<bool> wanted(4, argc == 1);
  for (int i = 1; i < argc; ++i) {
    const int index = std::atoi(argv[i]);
    if (index >= 1 && index <= 3) wanted[index] = true;
  }
  TempDir dir;
  const bool haveUnzip = HaveTool("unzip");
  const bool haveBsdtar = HaveTool("bsdtar");
  if (!haveUnzip) std::printf("unzip is not installed: its column is left out\n");
  if (!haveBsdtar) std::printf("bsdtar is not installed (libarchive-tools): its column is left out\n");
  std::printf("building the inputs in %s ...\n", dir.path().c_str());
  std::fflush(stdout);

  std::vector<Case> cases;
  if (wanted[1]) {
    ZipWriterEntry setup;
    setup.name = kEntry;
    setup.data = SetupProgram(packprobe::testsupport::ProgramLikeBytes(kLargeSize, 1));
    if (auto c = MakeCase(dir.path(), "1. 300 MB of program-like bytes, deflated",
                          "deflated.exe", {Metadata("deflated.exe"), setup}, 5)) {
      cases.push_back(*c);
    }
  }
  if (wanted[2]) {
    ZipWriterEntry setup;
    setup.name = kEntry;
    setup.deflate = false;
    setup.data = SetupProgram(packprobe::testsupport::RandomBytes(kLargeSize, 2));
    if (auto c = MakeCase(dir.path(), "2. 300 MB of incompressible bytes, stored", "stored.exe",
                          {Metadata("stored.exe"), setup}, 5)) {
      cases.push_back(*c);
    }
  }
  if (wanted[3]) {
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
    if (auto c = MakeCase(dir.path(), "3. 5,000 small entries, the last one extracted",
                          "many.exe", entries, 21)) {
      cases.push_back(*c);
    }
  }
  if (cases.size() !=
      static_cast<std::size_t>(std::count(wanted.begin() + 1, wanted.end(), true))) {
    std::printf("could not build the inputs\n");
    return 1;
  }
  for (const Case& c : cases) RunCase(c, dir.path(), haveUnzip, haveBsdtar);
  return 0;
}
