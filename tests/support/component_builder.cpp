#include "tests/support/component_builder.h"

#include <cstdint>
#include <utility>
#include <vector>

#include "tests/support/pe_builder.h"
#include "tests/support/zip_writer.h"

namespace packprobe::testsupport {

std::string SetupProgram(const std::u16string& fileVersion, std::size_t resourceSectionSize) {
  ProgramContents program;
  program.resources.push_back(
      VersionResource(BuildVersionInfo({StringTable{u"040904B0", {{u"FileVersion", fileVersion}}}})));
  ProgramImage image = BuildProgram(program);
  if (resourceSectionSize == 0) return std::move(image.bytes);
  // The resource section is the last one: it grows with the file.
  const std::size_t header = image.sectionTable + image.resourceSectionIndex * 40;
  std::uint32_t rawOffset = 0;
  for (int i = 3; i >= 0; --i) {
    rawOffset = rawOffset << 8 | static_cast<unsigned char>(image.bytes[header + 20 + i]);
  }
  image.bytes.resize(rawOffset + resourceSectionSize, '\0');
  PutU32(image.bytes, header + 8, static_cast<std::uint32_t>(resourceSectionSize));
  PutU32(image.bytes, header + 16, static_cast<std::uint32_t>(resourceSectionSize));
  return std::move(image.bytes);
}


std::string BuildComponent(const ComponentContents& contents) {
  std::vector<ZipWriterEntry> entries;
  ZipWriterEntry metadata;
  metadata.name = contents.metadataName;
  metadata.data = contents.metadata + contents.metadataStreamGoesOn;
  if (!contents.metadataStreamGoesOn.empty()) {
    const std::string declared = contents.metadata;
    metadata.editBoth = [declared](ZipHeaderFields& fields) {
      fields.uncompressedSize = static_cast<std::uint32_t>(declared.size());
      fields.crc = Crc32(declared);
    };
  }
  entries.push_back(metadata);
  if (contents.setupFileVersion) {
    ZipWriterEntry setup;
    setup.name = "veksetup.exe";
    setup.data = SetupProgram(*contents.setupFileVersion, contents.setupResourceSectionSize) +
                 RandomBytes(contents.setupPadding, 22);
    if (contents.corruptSetup) {
      setup.editBoth = [](ZipHeaderFields& fields) { fields.crc ^= 0xFFFFFFFFu; };
    }
    entries.push_back(setup);
  }
  return BuildArchive(entries, BuildVersionedProgram({{u"Comments", contents.comments}}));
}

std::string MetadataXml(const std::string& englishName, const std::string& englishCategory) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
         "<vek_package version=\"1\">\n"
         "  <name>\n"
         "    <name_xlate lang=\"de\">Demo-Paket</name_xlate>\n"
         "    <name_xlate lang=\"en\">" + englishName + "</name_xlate>\n"
         "  </name>\n"
         "  <category>\n"
         "    <category_xlate lang=\"en\">" + englishCategory + "</category_xlate>\n"
         "    <category_xlate lang=\"fr\">Logiciel</category_xlate>\n"
         "  </category>\n"
         "</vek_package>\n";
}

}  // namespace packprobe::testsupport
