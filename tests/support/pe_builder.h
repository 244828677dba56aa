// Builders of small Windows program images (PE32 and PE32+) for tests.
//
// The images are valid enough for any PE reader: a DOS header, the PE
// headers, one code section and, when resources are given, a resource
// section with a three-level resource tree (type, name, language). Version
// resources are encoded as VS_VERSIONINFO trees with 32-bit alignment.
// Everything is built from small descriptions, so hostile variants are a
// field away; the offsets of the parts that tests corrupt come back with the
// image.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace packprobe::testsupport {

using VersionStrings = std::vector<std::pair<std::u16string, std::u16string>>;

// The bytes of a small valid PE32 program whose version resource (language
// neutral) has one StringFileInfo table `tableKey` holding `strings`, in
// order, e.g. {{u"Comments", u"Stub 3.0.3.0"}}. Archives may be appended.
std::string BuildVersionedProgram(const VersionStrings& strings,
                                  const std::u16string& tableKey = u"040904B0");

// ---------------------------------------------------------------------------
// Version information blocks.

// One node of a VS_VERSIONINFO tree: wLength, wValueLength, wType, the
// terminated key, padding to 32 bits, the value, padding, the children.
struct VersionNode {
  std::u16string key;
  std::uint16_t type = 1;  // 1: the value is text, 0: binary
  std::string value;       // the value's bytes as stored
  // The declared wValueLength; by default the value's length in characters
  // for text (bytes / 2), in bytes for binary.
  std::optional<std::uint16_t> valueLength;
  // The declared wLength; by default the node's real length.
  std::optional<std::uint16_t> length;
  std::vector<VersionNode> children;
};

// A "String" node: the text followed by its terminator, wValueLength counting
// both in characters.
VersionNode StringNode(const std::u16string& key, const std::u16string& text);

// One StringTable of a StringFileInfo.
struct StringTable {
  std::u16string key = u"040904B0";
  VersionStrings strings;
};

// The root "VS_VERSION_INFO" node with a VS_FIXEDFILEINFO value, a
// StringFileInfo holding `tables` (none: no StringFileInfo) and a
// VarFileInfo with one translation.
VersionNode VersionInfoNode(const std::vector<StringTable>& tables);

// The encoded node, without padding after its end.
std::string EncodeVersionNode(const VersionNode& node);

// The encoded version information of `tables` (VersionInfoNode, encoded).
std::string BuildVersionInfo(const std::vector<StringTable>& tables);

// ---------------------------------------------------------------------------
// Program images.

// A resource type or name: a number, or a name when `name` is set.
struct ResourceId {
  std::uint16_t id = 0;
  std::optional<std::u16string> name;
};

struct Resource {
  ResourceId type;
  ResourceId name;
  std::uint16_t language = 0;
  std::string data;
};

inline constexpr std::uint16_t kResourceTypeVersion = 16;
inline constexpr std::uint16_t kLanguageNeutral = 0x0000;
inline constexpr std::uint16_t kLanguageEnglishUs = 0x0409;
inline constexpr std::uint16_t kLanguageGerman = 0x0407;

// A version resource (type 16, ID 1) in `language` holding `block`.
Resource VersionResource(const std::string& block, std::uint16_t language = kLanguageNeutral);

struct ProgramContents {
  bool pe32Plus = false;  // PE32+ (64-bit) headers instead of PE32
  // The resources of the image. Each directory of the tree lists its entries
  // in the order in which they first appear here (not sorted), so a test
  // controls which language comes first. No resources: no resource section
  // and an empty resource data directory.
  std::vector<Resource> resources;
  // A further data section after the resource section, in memory and in
  // the file, so that the resource section is not the last one.
  bool sectionAfterResources = false;
  // Bytes appended after the last section (an archive, say).
  std::string tail;
};

// A built image and the file offsets of its parts.
struct ProgramImage {
  std::string bytes;
  std::size_t peSignature = 0;     // "PE\0\0"; the COFF header follows
  std::size_t optionalHeader = 0;  // its magic
  std::size_t resourceDataDirectory = 0;  // RVA and size of the resource tree
  std::size_t sectionTable = 0;    // the first section header (40 bytes each)
  std::size_t resourceSectionIndex = 0;  // index of the resource section header
  std::size_t resourceSection = 0;  // raw data of the resource section: the root directory
  std::uint32_t resourceRva = 0;
  // Resource directories in the order written: the root, then one name
  // directory per type, then one language directory per (type, name), each
  // group in order of first appearance.
  std::vector<std::size_t> directories;
  // Per resource of the contents, in their order: its data entry and its data.
  std::vector<std::size_t> dataEntries;
  std::vector<std::size_t> data;
};

ProgramImage BuildProgram(const ProgramContents& contents);

// Little-endian patching of built bytes, for hostile variants.
void PutU16(std::string& bytes, std::size_t offset, std::uint16_t value);
void PutU32(std::string& bytes, std::size_t offset, std::uint32_t value);

// UTF-16LE bytes of text (no terminator).
std::string Utf16Bytes(const std::u16string& text);

}  // namespace packprobe::testsupport
