// Reads arbitrary bytes as a JSON Lines report, and as several joined:
// every input ends in records and a closing record, or an error naming the
// line, never a crash, a hang or a read outside the input.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "report/jsonl_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > (1 << 20)) return 0;
  std::string text(reinterpret_cast<const char*>(data), size);
  std::FILE* in = fmemopen(text.data(), text.size(), "rb");
  if (in == nullptr) return 0;
  packprobe::report::ReportReader reader("fuzz.jsonl", in);
  std::string error;
  while (error.empty() && !reader.AtEnd()) {
    packprobe::report::RunHeader header;
    if (!reader.ReadHeader(header, error)) break;
    packprobe::gate::ScanRecord record;
    while (reader.ReadRecord(record, error) == packprobe::report::ReportReader::Next::kRecord) {
    }
  }
  std::fclose(in);
  return 0;
}
