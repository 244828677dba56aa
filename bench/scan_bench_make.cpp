// Writes the components that bench/scan_bench.sh checks.
//
//   scan_bench_make DIR COUNT SETUP_MB [RESOURCE_MB]
//
// Writes COUNT complete components DIR/c00000.exe ... (a stub with a version
// resource, the metadata named after the component, a setup program with a
// FileVersion). With SETUP_MB 0 the setup program is a few kilobytes; with
// SETUP_MB > 0 it carries SETUP_MB megabytes of program-like bytes, deflated
// once and stored compressed in every component. With RESOURCE_MB > 0 the
// setup program's resource section is padded to that many megabytes instead:
// a check must hold all of it to read the version. Every component passes.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "tests/support/component_builder.h"
#include "tests/support/pe_builder.h"
#include "tests/support/zip_writer.h"

using namespace packprobe::testsupport;

int main(int argc, char** argv) {
  if (argc != 4 && argc != 5) {
    std::fprintf(stderr, "usage: scan_bench_make DIR COUNT SETUP_MB [RESOURCE_MB]\n");
    return 64;
  }
  const std::filesystem::path dir = argv[1];
  const int count = std::atoi(argv[2]);
  const std::size_t setupBytes = static_cast<std::size_t>(std::atol(argv[3])) << 20;
  const std::size_t resourceBytes = argc == 5 ? static_cast<std::size_t>(std::atol(argv[4])) << 20 : 0;
  std::filesystem::create_directories(dir);

  ProgramContents setupProgram;
  setupProgram.resources.push_back(
      VersionResource(BuildVersionInfo({StringTable{u"040904B0", {{u"FileVersion", u"7.9.1.0"}}}})));
  if (setupBytes > 0) setupProgram.tail = ProgramLikeBytes(setupBytes);
  ZipWriterEntry setup;
  setup.name = "veksetup.exe";
  setup.data = BuildProgram(setupProgram).bytes;
  setup.rawData = RawDeflate(setup.data);
  const std::string stub = BuildVersionedProgram({{u"Comments", u"VEKStub 3.0.3.0"}});

  for (int i = 0; i < count; ++i) {
    char stem[32];
    std::snprintf(stem, sizeof stem, "c%05d", i);
    ZipWriterEntry metadata;
    metadata.name = std::string(stem) + ".xml";
    metadata.data = MetadataXml(std::string("Bench kit ") + stem, "Software - Tools");
    std::string bytes;
    if (resourceBytes > 0) {
      ComponentContents contents;
      contents.metadataName = metadata.name;
      contents.metadata = metadata.data;
      contents.setupResourceSectionSize = resourceBytes;
      bytes = BuildComponent(contents);
    } else {
      bytes = BuildArchive({metadata, setup}, stub);
    }
    std::ofstream out(dir / (std::string(stem) + ".exe"), std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) {
      std::fprintf(stderr, "cannot write %s\n", stem);
      return 1;
    }
  }
  return 0;
}
