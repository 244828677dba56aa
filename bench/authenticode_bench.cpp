// The cost of the Authenticode digest: a 100 MB signed program (a small
// stub, 100 MB of pseudo-random bytes appended, an 8 kB certificate table)
// in memory, streamed in 1 MiB chunks through
//
//   - SHA-256 alone over every byte (crypto::Digest): the floor;
//   - AuthenticodeDigester with SHA-256: the three ranges skipped, the
//     table kept;
//   - AuthenticodeDigester with SHA-1 and SHA-256: what a streamed setup
//     program computes when its signatures are not known in advance;
//   - AuthenticodeDigester with all four algorithms.
//
// Each contender runs once per round, back to back, for 7 rounds after an
// untimed one; the median time, the throughput and the median ratio of
// each round to the floor are printed. Memory is not measured here: the
// digester holds the head (at most 64 kB) and the table.
//
//   cmake --preset release && cmake --build --preset release --target authenticode_bench
//   nice -n 10 build/release/bench/authenticode_bench [MEGABYTES]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "pe/authenticode.h"
#include "crypto/crypto.h"
#include "tests/support/pe_builder.h"

namespace {

using packprobe::crypto::DigestAlgorithm;
namespace ts = packprobe::testsupport;

constexpr std::size_t kChunk = 1 << 20;

std::string SignedProgram(std::size_t megabytes) {
  ts::ProgramContents contents;
  contents.tail.resize(megabytes << 20);
  std::uint64_t state = 0x9E3779B97F4A7C15u;
  for (char& c : contents.tail) {
    state = state * 6364136223846793005u + 1442695040888963407u;
    c = static_cast<char>(state >> 56);
  }
  std::string bytes = ts::BuildProgram(contents).bytes;
  bytes.resize((bytes.size() + 7) / 8 * 8, '\0');
  const std::size_t table = bytes.size();
  bytes.append(8192, '\0');
  ts::PutU32(bytes, table, 8192);
  ts::PutU16(bytes, table + 4, 0x0200);
  ts::PutU16(bytes, table + 6, 2);
  ts::PutU32(bytes, 0x80 + 24 + 128, static_cast<std::uint32_t>(table));
  ts::PutU32(bytes, 0x80 + 24 + 128 + 4, 8192);
  return bytes;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

struct Contender {
  const char* name;
  std::function<bool(const std::string&)> run;
  std::vector<double> seconds;
};

bool Authenticode(const std::string& bytes, std::vector<DigestAlgorithm> algorithms) {
  packprobe::AuthenticodeDigester digester(bytes.size(), algorithms);
  const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.data());
  for (std::size_t at = 0; at < bytes.size(); at += kChunk) {
    digester.Update(at, {data + at, std::min(kChunk, bytes.size() - at)});
  }
  const packprobe::AuthenticodeDigests result = digester.Finish();
  return result.complete && result.digests.size() == algorithms.size() && result.table.size() == 8192;
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t megabytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 100;
  if (packprobe::crypto::InitCryptography() != packprobe::platform::HostFault::kNone) return 1;
  const std::string bytes = SignedProgram(megabytes);

  std::vector<Contender> contenders = {
      {"SHA-256 alone",
       [](const std::string& b) {
         packprobe::crypto::Digest digest(DigestAlgorithm::kSha256);
         for (std::size_t at = 0; at < b.size(); at += kChunk) {
           digest.Update(b.data() + at, std::min(kChunk, b.size() - at));
         }
         return digest.Finish().has_value();
       },
       {}},
      {"Authenticode SHA-256",
       [](const std::string& b) { return Authenticode(b, {DigestAlgorithm::kSha256}); }, {}},
      {"Authenticode SHA-1 + SHA-256",
       [](const std::string& b) {
         return Authenticode(b, {DigestAlgorithm::kSha1, DigestAlgorithm::kSha256});
       },
       {}},
      {"Authenticode all four",
       [](const std::string& b) {
         return Authenticode(b, {DigestAlgorithm::kSha1, DigestAlgorithm::kSha256,
                                 DigestAlgorithm::kSha384, DigestAlgorithm::kSha512});
       },
       {}},
  };
  constexpr int kRounds = 7;
  for (int round = -1; round < kRounds; ++round) {
    for (Contender& contender : contenders) {
      const auto start = std::chrono::steady_clock::now();
      if (!contender.run(bytes)) {
        std::fprintf(stderr, "%s failed\n", contender.name);
        return 1;
      }
      const auto stop = std::chrono::steady_clock::now();
      if (round >= 0) contender.seconds.push_back(std::chrono::duration<double>(stop - start).count());
    }
  }
  std::printf("%zu MB, median of %d rounds\n\n", bytes.size() >> 20, kRounds);
  std::printf("| contender | median ms | MB/s | / SHA-256 alone |\n|---|---:|---:|---:|\n");
  for (const Contender& contender : contenders) {
    std::vector<double> ratios;
    for (int i = 0; i < kRounds; ++i) ratios.push_back(contender.seconds[i] / contenders[0].seconds[i]);
    const double median = Median(contender.seconds);
    std::printf("| %s | %.0f | %.0f | %.2f |\n", contender.name, median * 1000,
                static_cast<double>(bytes.size()) / (1 << 20) / median, Median(ratios));
  }
  return 0;
}
