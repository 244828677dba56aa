// Writes the unsigned programs that tests/signing/make_signed_files.sh signs: a
// component (a stub with a version resource and an appended archive holding
// the metadata and a setup program) as DIR/component.exe, and a bare setup
// program as DIR/setup.exe, and one of several megabytes (random bytes after
// its sections) as DIR/setup-large.exe. The component's metadata names it "signeddemo",
// so that a copy named signeddemo.exe checks as a whole component.
//
//   signing_inputs DIR
#include <cstdio>
#include <fstream>
#include <string>

#include "tests/support/component_builder.h"
#include "tests/support/zip_writer.h"

namespace {

bool Write(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: signing_inputs DIR\n");
    return 2;
  }
  namespace ts = packprobe::testsupport;
  ts::ComponentContents contents;
  contents.comments = u"VEKStub 3.0.3.0";
  contents.metadataName = "signeddemo.xml";
  contents.metadata = ts::MetadataXml("Signed Demo", "Software - Demonstration");
  const std::string dir = argv[1];
  const bool written = Write(dir + "/component.exe", ts::BuildComponent(contents)) &&
                       Write(dir + "/setup.exe", ts::SetupProgram(u"7.9.1.0")) &&
                       Write(dir + "/setup-large.exe",
                             ts::SetupProgram(u"7.9.1.0") + ts::RandomBytes(3 << 20, 7));
  return written ? 0 : 1;
}
