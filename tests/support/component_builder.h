// Builds component files for tests: a program file with a version resource
// whose "Comments" string carries the stub version, followed by an archive
// (offsets counting the program's bytes) that holds the metadata file and,
// optionally, a setup program with a "FileVersion" string.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace packprobe::testsupport {

struct ComponentContents {
  std::u16string comments = u"VEKStub Version 3.0.3.0";
  std::string metadataName = "kitdemo1.xml";  // the archive entry of the metadata file
  std::string metadata;                      // its content
  // The setup program's FileVersion; nothing: the archive holds no setup program.
  std::optional<std::u16string> setupFileVersion = u"7.9.1.0";
  bool corruptSetup = false;  // store the setup program with a wrong CRC-32
  // Incompressible bytes appended to the setup program (after its sections).
  std::size_t setupPadding = 0;
  // Bytes deflated after the metadata in the same stream, while the headers
  // declare the metadata alone (its size and CRC-32): a stream that goes on
  // past the declared prefix.
  std::string metadataStreamGoesOn;
  // Pads the setup program's resource section (its last section) with zeros
  // to this many bytes: above the capture bound, reading its version needs
  // the program extracted into the work directory. 0: no padding.
  std::size_t setupResourceSectionSize = 0;
};

std::string BuildComponent(const ComponentContents& contents);

// The setup program that BuildComponent stores: a program whose version
// resource holds fileVersion, its resource section padded as above.
std::string SetupProgram(const std::u16string& fileVersion, std::size_t resourceSectionSize = 0);

// A metadata document with one English name and one English category.
std::string MetadataXml(const std::string& englishName, const std::string& englishCategory);

}  // namespace packprobe::testsupport
