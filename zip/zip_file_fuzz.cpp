// libFuzzer target: any bytes opened as an archive, every entry read in
// memory as the inspection reads it.
//
// Each input is written over one file under the system's temporary
// directory (the archive reader reads files), opened, looked up, and each
// entry is read twice: by the streaming read, and by Stream into a sink that
// keeps nothing, as the inspection reads the metadata and the setup program.
// Nothing is extracted; the file goes at exit. Build and run (one job, as
// the machine is shared):
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
#include "zip/zip_file.h"

namespace {

namespace fs = std::filesystem;

// Inputs are capped so that an entry cannot inflate to more than about
// 64 MiB; entries claiming more than kMaxRead are only read in part.
constexpr std::size_t kMaxInput = 64 * 1024;
constexpr std::uint32_t kMaxRead = 1 << 20;

fs::path& InputPath() {
  static fs::path path;
  return path;
}

void RemoveInput() {
  std::error_code ignored;
  fs::remove(InputPath(), ignored);
}

// Counts what it is given and stops past kMaxRead bytes.
class CountingSink final : public vekzip::ZIP_Sink {
 public:
  bool Write(const unsigned char* data, std::uint32_t size) override {
    if (data == nullptr && size > 0) std::abort();
    total_ += size;
    return total_ <= kMaxRead;
  }

 private:
  std::uint64_t total_ = 0;
};

void Exercise(vekzip::ZIP_File& archive) {
  for (const char16_t* name : {u"veksetup.exe", u"a.xml", u""}) archive.FindEntry(name);
  std::vector<unsigned char> buffer(4096);
  for (vekzip::ZIP_FileEntry* entry : archive.Entries()) {
    entry->IsDirectory();
    // A streaming read of at most kMaxRead bytes.
    vekzip::ZIP_ReadState state;
    if (entry->BeginRead(&state) == vekzip::ZIP_OK) {
      std::uint32_t total = 0, produced = 0;
      while (total < kMaxRead &&
             entry->Read(buffer.data(), static_cast<std::uint32_t>(buffer.size()), &state,
                         &produced) == vekzip::ZIP_OK &&
             produced > 0) {
        total += produced;
      }
      entry->EndRead(&state);
    }
    CountingSink sink;
    entry->Stream(sink);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::error_code error;
  const fs::path temp = fs::temp_directory_path(error);
  if (error) std::abort();
  InputPath() = temp / ("packprobe-zip-fuzz-" + std::to_string(::getpid()) + ".zip");
  std::atexit(RemoveInput);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > kMaxInput) return 0;
  {
    std::ofstream out(InputPath(), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    if (!out) std::abort();
  }
  vekzip::ZIP_File archive;
  if (archive.Open(packprobe::Utf8ToUtf16(InputPath().string()), true) == vekzip::ZIP_OK) {
    Exercise(archive);
  }
  return 0;
}
