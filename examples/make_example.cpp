// Writes the demo component examples/kitdemo1.exe: a stub whose version
// resource says 3.0.3.0, with an archive holding kitdemo1.xml and a setup
// program of version 7.9.1.0.
//
//   cmake --build --preset dev --target make_example
//   build/dev/tests/make_example examples/kitdemo1.exe
#include <cstdio>
#include <fstream>

#include "tests/support/component_builder.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_example OUTPUT\n");
    return 2;
  }
  packprobe::testsupport::ComponentContents contents;
  contents.comments = u"VEKStub 3.0.3.0";
  contents.metadataName = "kitdemo1.xml";
  contents.metadata = packprobe::testsupport::MetadataXml("Demo Kit 1", "Software - Demonstration");
  contents.setupFileVersion = u"7.9.1.0";
  const std::string bytes = packprobe::testsupport::BuildComponent(contents);
  std::ofstream out(argv[1], std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return out ? 0 : 1;
}
