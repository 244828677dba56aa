// The cost of checking signatures in the inspection: ComponentInfo over the
// same components with the component file's SHA-256 (InspectionOptions::
// digest, what --hash asks for) and with that and the signatures
// (InspectionOptions::trust as well), in this process.
// bench/signature_bench.sh makes the inputs and signs them with osslsigncode
// between the steps below.
//
//   signature_bench setup FILE SETUP_MB
//     writes a setup program with a FileVersion and SETUP_MB megabytes of
//     program-like bytes;
//   signature_bench components DIR COUNT SETUP_FILE
//     writes COUNT complete components DIR/c00000.exe ... around that setup
//     program (deflated once, stored compressed in each);
//   signature_bench time ANCHOR_PEM ROUNDS FILE...
//     inspects every file with the digest, then with the digest and the
//     anchor as trust, back to back, for ROUNDS rounds after an untimed one
//     that warms the cache and prints what the check found; prints the
//     median wall and CPU time of each and the median of the per-round
//     ratios;
//   signature_bench digests ROUNDS FILE
//     the Authenticode digests of one signed program held in memory, fed in
//     the pieces the archive reader hands over: in the algorithms its table names, and
//     in SHA-1 and SHA-256 both; median over ROUNDS;
//   signature_bench pieces ROUNDS FILE
//     the component file's pass from the cache as the inspection makes it
//     (SHA-256 and the Authenticode digest fed each piece in turn) at
//     several piece sizes, against SHA-256 alone and against two reads of
//     the file, one per digest; median over ROUNDS.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "component/component_info.h"
#include "crypto/crypto.h"
#include "crypto/sha256.h"
#include "pe/authenticode.h"
#include "pe/pe_version_resource.h"
#include "platform/file.h"
#include "tests/support/component_builder.h"
#include "tests/support/pe_builder.h"
#include "tests/support/zip_writer.h"
#include "util/text.h"

namespace {

namespace ts = packprobe::testsupport;
using packprobe::ComponentInfo;
using packprobe::InspectionOptions;

bool Write(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

std::string Read(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

int MakeSetup(const char* file, std::size_t megabytes) {
  ts::ProgramContents program;
  program.resources.push_back(ts::VersionResource(
      ts::BuildVersionInfo({ts::StringTable{u"040904B0", {{u"FileVersion", u"7.9.1.0"}}}})));
  program.tail = ts::ProgramLikeBytes(megabytes << 20);
  return Write(file, ts::BuildProgram(program).bytes) ? 0 : 1;
}

int MakeComponents(const std::filesystem::path& dir, int count, const char* setupFile) {
  ts::ZipWriterEntry setup;
  setup.name = "veksetup.exe";
  setup.data = Read(setupFile);
  setup.rawData = ts::RawDeflate(setup.data);
  const std::string stub = ts::BuildVersionedProgram({{u"Comments", u"VEKStub 3.0.3.0"}});
  std::filesystem::create_directories(dir);
  for (int i = 0; i < count; ++i) {
    char stem[32];
    std::snprintf(stem, sizeof stem, "c%05d", i);
    ts::ZipWriterEntry metadata;
    metadata.name = std::string(stem) + ".xml";
    metadata.data = ts::MetadataXml(std::string("Bench kit ") + stem, "Software - Tools");
    if (!Write(dir / (std::string(stem) + ".exe"), ts::BuildArchive({metadata, setup}, stub))) {
      std::fprintf(stderr, "cannot write %s\n", stem);
      return 1;
    }
  }
  return 0;
}

struct Times {
  double wall = 0;  // seconds
  double cpu = 0;
};

// Inspects every file once; prints what was found when show is set.
Times Pass(const std::vector<std::u16string>& paths, const InspectionOptions& options, bool show) {
  const auto wall = std::chrono::steady_clock::now();
  const std::clock_t cpu = std::clock();
  for (const std::u16string& path : paths) {
    const ComponentInfo info(&path, options);
    if (!show) continue;
    auto state = [](const std::optional<packprobe::FileSignatures>& s) {
      return s ? std::string(packprobe::crypto::SignatureStateName(s->state)) : std::string("-");
    };
    std::printf("   %s: status %d, file %s, setup %s\n", packprobe::Utf16ToUtf8(path).c_str(),
                info.status, state(info.fileSignatures).c_str(), state(info.setupSignatures).c_str());
  }
  return {std::chrono::duration<double>(std::chrono::steady_clock::now() - wall).count(),
          static_cast<double>(std::clock() - cpu) / CLOCKS_PER_SEC};
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

int Time(const char* anchorFile, int rounds, int count, char** files) {
  if (packprobe::crypto::InitCryptography() != packprobe::platform::HostFault::kNone) return 1;
  const std::vector<std::string> anchors = {Read(anchorFile)};
  packprobe::crypto::TrustSettings::Load load = packprobe::crypto::TrustSettings::Read(anchors, {});
  if (!load.settings) {
    std::fprintf(stderr, "no certificate in %s\n", anchorFile);
    return 1;
  }
  std::vector<std::u16string> paths;
  for (int i = 0; i < count; ++i) paths.push_back(packprobe::Utf8ToUtf16(files[i]));
  InspectionOptions plain;
  plain.digest = true;
  InspectionOptions trusted;
  trusted.digest = true;
  trusted.trust = &*load.settings;
  trusted.now = std::time(nullptr);

  std::vector<double> wall[2], cpu[2], ratio[2];
  for (int round = 0; round <= rounds; ++round) {
    const Times a = Pass(paths, plain, false);
    const Times b = Pass(paths, trusted, round == 0);
    if (round == 0) continue;
    wall[0].push_back(a.wall);
    wall[1].push_back(b.wall);
    cpu[0].push_back(a.cpu);
    cpu[1].push_back(b.cpu);
    ratio[0].push_back(b.wall / a.wall);
    ratio[1].push_back(b.cpu / a.cpu);
  }
  std::printf("   %-22s %10s %10s\n", "contender", "wall ms", "CPU ms");
  std::printf("   %-22s %10.0f %10.0f\n", "digest", Median(wall[0]) * 1000, Median(cpu[0]) * 1000);
  std::printf("   %-22s %10.0f %10.0f\n", "digest and signatures", Median(wall[1]) * 1000,
              Median(cpu[1]) * 1000);
  std::printf("   ratio (per-round median): wall %.2fx, CPU %.2fx\n", Median(ratio[0]), Median(ratio[1]));
  return 0;
}

// A program held in memory, for the layout reader.
class MemoryInput final : public packprobe::PositionalInput {
 public:
  explicit MemoryInput(const std::string& bytes) : bytes_(bytes) {}
  std::uint64_t Size() const override { return bytes_.size(); }
  bool ReadAt(std::uint64_t offset, std::span<std::uint8_t> out) const override {
    if (offset > bytes_.size() || out.size() > bytes_.size() - offset) return false;
    std::copy_n(bytes_.begin() + static_cast<std::ptrdiff_t>(offset), out.size(), out.begin());
    return true;
  }

 private:
  const std::string& bytes_;
};

int Digests(int rounds, const char* file) {
  using packprobe::crypto::DigestAlgorithm;
  const std::string bytes = Read(file);
  const packprobe::AuthenticodeLayout layout = ReadAuthenticodeLayout(MemoryInput(bytes));
  if (layout.status != packprobe::AuthenticodeLayoutStatus::kSigned) {
    std::fprintf(stderr, "%s is not signed\n", file);
    return 1;
  }
  const auto* table = reinterpret_cast<const std::uint8_t*>(bytes.data()) + layout.table.offset;
  const std::vector<DigestAlgorithm> needed =
      packprobe::CertificateTableAlgorithms({table, static_cast<std::size_t>(layout.table.size)});
  const std::vector<DigestAlgorithm> both = {DigestAlgorithm::kSha1, DigestAlgorithm::kSha256};
  // The archive reader hands an entry over in pieces of up to 1 MiB.
  constexpr std::size_t kPiece = std::size_t{1} << 20;
  auto once = [&](const std::vector<DigestAlgorithm>& algorithms) {
    const auto start = std::chrono::steady_clock::now();
    packprobe::AuthenticodeDigester digester(bytes.size(), algorithms);
    const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.data());
    for (std::size_t at = 0; at < bytes.size(); at += kPiece) {
      digester.Update(at, {data + at, std::min(kPiece, bytes.size() - at)});
    }
    if (digester.Finish().digests.size() != algorithms.size()) std::fprintf(stderr, "digest failed\n");
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  };
  std::vector<double> times[2];
  once(needed);  // warms the bytes and the code
  for (int round = 0; round < rounds; ++round) {
    times[0].push_back(once(needed));
    times[1].push_back(once(both));
  }
  std::string names;
  for (const DigestAlgorithm algorithm : needed) {
    names += std::string(names.empty() ? "" : "+") +
             std::string(packprobe::crypto::AlgorithmInfo(algorithm).name);
  }
  const double mb = static_cast<double>(bytes.size()) / 1e6;
  std::printf("   setup program's digests alone (%.0f MB in memory), median of %d:\n", mb, rounds);
  std::printf("   %-22s %8.0f ms %8.0f MB/s\n", names.c_str(), Median(times[0]) * 1000,
              mb / Median(times[0]));
  std::printf("   %-22s %8.0f ms %8.0f MB/s\n", "sha1+sha256", Median(times[1]) * 1000,
              mb / Median(times[1]));
  return 0;
}

int Pieces(int rounds, const char* file) {
  using packprobe::crypto::DigestAlgorithm;
  packprobe::platform::File input;
  if (!input.Open(packprobe::Utf8ToUtf16(file), packprobe::platform::File::Access::kReadShared)) {
    std::fprintf(stderr, "cannot open %s\n", file);
    return 1;
  }
  const std::uint64_t size = std::filesystem::file_size(file);
  const std::vector<DigestAlgorithm> algorithms = {DigestAlgorithm::kSha256};
  // reads: 1 for one read feeding both digests, 2 for a read per digest.
  auto once = [&](std::size_t piece, bool authenticode, int reads) {
    const auto start = std::chrono::steady_clock::now();
    std::vector<unsigned char> buffer(piece);
    packprobe::crypto::Sha256 sha256;
    packprobe::AuthenticodeDigester digester(size, algorithms);
    for (int read = 0; read < reads; ++read) {
      for (std::uint64_t at = 0;;) {
        std::size_t got = 0;
        if (!input.ReadUpTo(at, buffer.data(), piece, &got) || got == 0) break;
        if (read == 0) sha256.Update(buffer.data(), got);
        if (authenticode && read == reads - 1) digester.Update(at, {buffer.data(), got});
        at += got;
      }
    }
    sha256.Finish();
    digester.Finish();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  };
  const struct {
    const char* what;
    std::size_t piece;
    bool authenticode;
    int reads;
  } rows[] = {{"sha256 alone, 1 MiB", 1 << 20, false, 1},  {"both, 64 KiB pieces", 64 << 10, true, 1},
              {"both, 256 KiB pieces", 256 << 10, true, 1}, {"both, 1 MiB pieces", 1 << 20, true, 1},
              {"both, 4 MiB pieces", 4 << 20, true, 1},     {"two reads, 1 MiB", 1 << 20, true, 2}};
  once(1 << 20, true, 1);  // brings the file into the cache
  std::printf("   the component file's pass (%.0f MB from the cache), median of %d:\n",
              static_cast<double>(size) / 1e6, rounds);
  for (const auto& row : rows) {
    std::vector<double> times;
    for (int round = 0; round < rounds; ++round) times.push_back(once(row.piece, row.authenticode, row.reads));
    std::printf("   %-22s %8.1f ms\n", row.what, Median(times) * 1000);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "setup" && argc == 4) return MakeSetup(argv[2], std::strtoul(argv[3], nullptr, 10));
  if (mode == "components" && argc == 5) return MakeComponents(argv[2], std::atoi(argv[3]), argv[4]);
  if (mode == "time" && argc >= 5 && std::atoi(argv[3]) > 0) {
    return Time(argv[2], std::atoi(argv[3]), argc - 4, argv + 4);
  }
  if (mode == "pieces" && argc == 4 && std::atoi(argv[2]) > 0) return Pieces(std::atoi(argv[2]), argv[3]);
  if (mode == "digests" && argc == 4 && std::atoi(argv[2]) > 0) return Digests(std::atoi(argv[2]), argv[3]);
  std::fprintf(stderr,
               "usage: signature_bench setup FILE SETUP_MB\n"
               "       signature_bench components DIR COUNT SETUP_FILE\n"
               "       signature_bench time ANCHOR_PEM ROUNDS FILE...\n"
               "       signature_bench digests ROUNDS FILE\n"
               "       signature_bench pieces ROUNDS FILE\n");
  return 64;
}
