// libFuzzer target: any bytes inspected as the component "kitdemo1.exe", as
// both programs inspect it, reading the archive's entries in memory and the
// setup program's version from captured ranges. Asserts the record's
// invariants. Each input is written over one file under the system's
// temporary directory; the file goes at exit. Build and run:
//
//   cmake --preset fuzz && cmake --build --preset fuzz --target inspection_fuzz
//   nice -n 10 build/fuzz/component/inspection_fuzz -max_total_time=600 \
//       component/inspection_fuzz_corpus
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

#include <unistd.h>

#include "component/component_info.h"
#include "util/text.h"

namespace {

namespace fs = std::filesystem;

constexpr std::size_t kMaxInput = 64 * 1024;

fs::path& Folder() {
  static fs::path folder;
  return folder;
}

void RemoveFolder() {
  std::error_code ignored;
  fs::remove_all(Folder(), ignored);
}

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::error_code error;
  const fs::path temp = fs::temp_directory_path(error);
  if (error) std::abort();
  Folder() = temp / ("packprobe-inspection-fuzz-" + std::to_string(::getpid()));
  fs::create_directories(Folder(), error);
  if (error) std::abort();
  std::atexit(RemoveFolder);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > kMaxInput) return 0;
  const fs::path file = Folder() / "kitdemo1.exe";
  {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    if (!out) std::abort();
  }
  const std::u16string path = packprobe::Utf8ToUtf16(file.string());
  const packprobe::ComponentInfo info(&path);
  Check(info.inspected == (info.status == 0));
  Check(info.message.empty() == (info.status == 0));
  Check(!(info.isFirmware && info.isSoftware));
  Check(info.status == 0 || info.status == 5 || info.status == 6);
  return 0;
}
