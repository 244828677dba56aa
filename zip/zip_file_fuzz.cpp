// libFuzzer target: any bytes opened as an archive, every entry extracted.
//
// Each input is written to a fresh directory under the system's temporary
// directory, opened, looked up, read by streaming and extracted under the
// entries' own names with that directory as the current one; the directory
// is removed afterwards. Build and run (one job, as the machine is shared):
//
//   cmake --preset fuzz && cmake --build --preset fuzz
//   nice -n 10 build/fuzz/zip/zip_file_fuzz -max_total_time=600 zip/zip_file_fuzz_corpus
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <vector>

#include <unistd.h>

#include "util/text.h"
#include "platform/remove_tree.h"
#include "zip/zip_file.h"

namespace {

namespace fs = std::filesystem;

// Inputs are capped so that an entry cannot inflate to more than about
// 64 MiB; entries claiming more than kMaxExtracted are only read in part.
constexpr std::size_t kMaxInput = 64 * 1024;
constexpr std::uint32_t kMaxExtracted = 1 << 20;

fs::path& Base() {
  static fs::path base;
  return base;
}

void RemoveBase() {
  std::error_code ignored;
  fs::remove_all(Base(), ignored);
}

// Extraction may leave read-only files; they go too.
void RemoveTree(const fs::path& path) { packprobe::platform::RemoveTree(path.native()); }

void Exercise(vekzip::ZIP_File& archive) {
  for (const char16_t* name : {u"veksetup.exe", u"a.xml", u""}) archive.FindEntry(name);
  std::vector<unsigned char> buffer(4096);
  for (vekzip::ZIP_FileEntry* entry : archive.Entries()) {
    entry->IsDirectory();
    // A streaming read of at most kMaxExtracted bytes.
    vekzip::ZIP_ReadState state;
    if (entry->BeginRead(&state) == vekzip::ZIP_OK) {
      std::uint32_t total = 0, produced = 0;
      while (total < kMaxExtracted &&
             entry->Read(buffer.data(), static_cast<std::uint32_t>(buffer.size()), &state,
                         &produced) == vekzip::ZIP_OK &&
             produced > 0) {
        total += produced;
      }
      entry->EndRead(&state);
    }
    if (entry->uncompressedSize <= kMaxExtracted) {
      entry->Extract(nullptr, false);
      const std::u16string target = u"fixed-output";
      entry->Extract(&target, false);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::error_code error;
  const fs::path temp = fs::temp_directory_path(error);
  if (error) std::abort();
  Base() = temp / ("packprobe-zip-fuzz-" + std::to_string(::getpid()));
  fs::create_directories(Base(), error);
  if (error) std::abort();
  std::atexit(RemoveBase);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > kMaxInput) return 0;
  const fs::path work = Base() / "run";
  const fs::path cwd = work / "cwd";
  std::error_code error;
  RemoveTree(work);
  fs::create_directories(cwd, error);
  if (error) std::abort();
  const fs::path archivePath = work / "input.zip";
  {
    std::ofstream out(archivePath, std::ios::binary);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  const fs::path previous = fs::current_path();
  fs::current_path(cwd);
  {
    vekzip::ZIP_File archive;
    if (archive.Open(packprobe::Utf8ToUtf16(archivePath.string()), true) == vekzip::ZIP_OK) {
      Exercise(archive);
    }
  }
  fs::current_path(previous);
  // Nothing may have been written outside the current directory.
  for (const fs::directory_entry& item : fs::directory_iterator(work)) {
    if (item.path() != cwd && item.path() != archivePath) std::abort();
  }
  RemoveTree(work);
  return 0;
}
