#include "pe/pe_version_resource.h"

#include <algorithm>

#include "util/ascii.h"

namespace packprobe {

bool MemoryInput::ReadAt(std::uint64_t offset, std::span<std::uint8_t> out) const {
  if (offset > bytes_.size() || out.size() > bytes_.size() - offset) return false;
  std::copy_n(bytes_.begin() + static_cast<std::ptrdiff_t>(offset), out.size(), out.begin());
  return true;
}

namespace {

constexpr std::uint16_t kPe32Magic = 0x010B;
constexpr std::uint16_t kPe32PlusMagic = 0x020B;
constexpr std::uint32_t kResourceDirectoryIndex = 2;
constexpr std::uint32_t kHighBit = 0x80000000u;
constexpr std::uint32_t kVersionType = 16;
constexpr std::uint32_t kVersionId = 1;
constexpr std::uint32_t kLanguageNeutral = 0x0000;
constexpr std::uint32_t kLanguageEnglishUs = 0x0409;
constexpr std::size_t kSectionHeaderSize = 40;
constexpr std::size_t kDirectoryHeaderSize = 16;
constexpr std::size_t kDirectoryEntrySize = 8;
constexpr std::size_t kDataEntrySize = 16;

struct Section {
  std::uint32_t virtualAddress = 0;
  std::uint32_t rawSize = 0;
  std::uint32_t rawOffset = 0;
};

// Bytes of the file inside a range checked against its size, so that the
// reads below never ask the input for bytes it does not hold.
class CheckedReader {
 public:
  explicit CheckedReader(const PositionalInput& input) : input_(input), size_(input.Size()) {}

  std::uint64_t size() const { return size_; }

  PeVersionResult Read(std::uint64_t offset, std::size_t length, std::vector<std::uint8_t>* out) {
    if (offset > size_ || length > size_ - offset) return PeVersionResult::kMalformed;
    out->assign(length, 0);
    if (!input_.ReadAt(offset, *out)) return PeVersionResult::kReadError;
    return PeVersionResult::kOk;
  }

 private:
  const PositionalInput& input_;
  std::uint64_t size_;
};

// Where an RVA lies in the file: the file offset and the number of bytes of
// its section that follow it there (cut at the end of the file).
struct Mapped {
  std::uint64_t offset = 0;
  std::uint64_t available = 0;
};

std::optional<Mapped> MapRva(const std::vector<Section>& sections, std::uint32_t rva,
                             std::uint64_t fileSize) {
  for (const Section& s : sections) {
    // Only the bytes that the file holds for the section count: past its raw
    // size a section is zero-filled memory that a file reader cannot see.
    if (rva < s.virtualAddress || rva - s.virtualAddress >= s.rawSize) continue;
    const std::uint32_t delta = rva - s.virtualAddress;
    const std::uint64_t offset = std::uint64_t{s.rawOffset} + delta;
    if (offset >= fileSize) return std::nullopt;
    Mapped m;
    m.offset = offset;
    m.available = std::min<std::uint64_t>(s.rawSize - delta, fileSize - offset);
    return m;
  }
  return std::nullopt;
}

struct DirectoryEntry {
  std::uint32_t name = 0;   // an ID, or a name offset with the high bit set
  std::uint32_t value = 0;  // a data entry offset, or a directory offset with the high bit set
};

// Reads the directory at `offset` within the resource tree, which spans
// `extent` bytes of the file from `base`.
PeVersionResult ReadDirectory(CheckedReader& file, std::uint64_t base, std::uint64_t extent,
                              std::uint32_t offset, std::vector<DirectoryEntry>* entries) {
  if (offset > extent || kDirectoryHeaderSize > extent - offset) return PeVersionResult::kMalformed;
  std::vector<std::uint8_t> bytes;
  PeVersionResult r = file.Read(base + offset, kDirectoryHeaderSize, &bytes);
  if (r != PeVersionResult::kOk) return r;
  std::uint16_t named = 0, ids = 0;
  ByteReader header(bytes);
  header.ReadU16(12, &named);
  header.ReadU16(14, &ids);
  // At most 131,070 entries: bounded by the two 16-bit counts, and checked
  // against the tree's extent before anything is read.
  const std::size_t count = std::size_t{named} + ids;
  const std::uint64_t start = std::uint64_t{offset} + kDirectoryHeaderSize;
  if (count * kDirectoryEntrySize > extent - start) return PeVersionResult::kMalformed;
  r = file.Read(base + start, count * kDirectoryEntrySize, &bytes);
  if (r != PeVersionResult::kOk) return r;
  ByteReader list(bytes);
  entries->resize(count);
  for (std::size_t i = 0; i < count; ++i) {
    list.ReadU32(i * kDirectoryEntrySize, &(*entries)[i].name);
    list.ReadU32(i * kDirectoryEntrySize + 4, &(*entries)[i].value);
  }
  return PeVersionResult::kOk;
}

const DirectoryEntry* FindId(const std::vector<DirectoryEntry>& entries, std::uint32_t id) {
  for (const DirectoryEntry& e : entries) {
    if ((e.name & kHighBit) == 0 && (e.name & 0xFFFF) == id) return &e;
  }
  return nullptr;
}

// What the headers say about where the resources are.
struct ImageLayout {
  std::uint32_t resourceRva = 0;
  std::uint32_t sizeOfHeaders = 0;
  std::vector<Section> sections;
};

// Reads the DOS header, the PE signature, the COFF and optional headers and
// the section table. kNoVersionResource when the program lists no resource
// directory.
PeVersionResult ReadImageLayout(CheckedReader& file, ImageLayout* layout) {
  std::vector<std::uint8_t> bytes;

  // DOS header: the signature and the offset of the PE headers.
  PeVersionResult r = file.Read(0, 64, &bytes);
  if (r != PeVersionResult::kOk) return r;
  if (bytes[0] != 'M' || bytes[1] != 'Z') return PeVersionResult::kMalformed;
  std::uint32_t peOffset = 0;
  ByteReader(bytes).ReadU32(0x3C, &peOffset);

  // PE signature and COFF header.
  r = file.Read(peOffset, 24, &bytes);
  if (r != PeVersionResult::kOk) return r;
  if (bytes[0] != 'P' || bytes[1] != 'E' || bytes[2] != 0 || bytes[3] != 0) {
    return PeVersionResult::kMalformed;
  }
  std::uint16_t sectionCount = 0, optionalSize = 0;
  ByteReader coff(bytes);
  coff.ReadU16(4 + 2, &sectionCount);
  coff.ReadU16(4 + 16, &optionalSize);

  // Optional header: the resource entry of the data directories.
  const std::uint64_t optionalOffset = std::uint64_t{peOffset} + 24;
  r = file.Read(optionalOffset, optionalSize, &bytes);
  if (r != PeVersionResult::kOk) return r;
  ByteReader optional(bytes);
  std::uint16_t magic = 0;
  if (!optional.ReadU16(0, &magic)) return PeVersionResult::kMalformed;
  std::size_t countField = 0;
  if (magic == kPe32Magic) {
    countField = 92;
  } else if (magic == kPe32PlusMagic) {
    countField = 108;
  } else {
    return PeVersionResult::kMalformed;
  }
  // SizeOfHeaders sits at the same place in both formats; a header too
  // short to hold it gives 0, so that no RVA counts as lying in the headers.
  optional.ReadU32(60, &layout->sizeOfHeaders);
  std::uint32_t directoryCount = 0;
  const std::size_t resourceField = countField + 4 + kResourceDirectoryIndex * 8;
  // A header too short to list a resource directory lists none.
  if (!optional.ReadU32(countField, &directoryCount) || directoryCount <= kResourceDirectoryIndex ||
      !optional.ReadU32(resourceField, &layout->resourceRva) || layout->resourceRva == 0) {
    return PeVersionResult::kNoVersionResource;
  }

  // Section table, right after the optional header: at most 65,535 headers
  // of 40 bytes, and they must lie in the file.
  r = file.Read(optionalOffset + optionalSize, std::size_t{sectionCount} * kSectionHeaderSize,
                &bytes);
  if (r != PeVersionResult::kOk) return r;
  ByteReader table(bytes);
  layout->sections.assign(sectionCount, Section{});
  for (std::size_t i = 0; i < sectionCount; ++i) {
    Section& section = layout->sections[i];
    const std::size_t at = i * kSectionHeaderSize;
    table.ReadU32(at + 12, &section.virtualAddress);
    table.ReadU32(at + 16, &section.rawSize);
    table.ReadU32(at + 20, &section.rawOffset);
    // The Windows loader refuses a program whose sections run past the end
    // of the file (a truncated download, say); so does this reader.
    if (std::uint64_t{section.rawOffset} + section.rawSize > file.size()) {
      return PeVersionResult::kMalformed;
    }
  }
  return PeVersionResult::kOk;
}

// Walks the resource tree below `root` to the data entry of the version
// resource and gives its offset within the tree. Offsets in the tree are
// relative to its root and must stay within the root's section. Exactly
// three levels are read (type, name, language), so a directory that points
// back at itself or an ancestor cannot make the walk loop.
PeVersionResult FindVersionDataEntry(CheckedReader& file, const Mapped& root,
                                     std::uint32_t* entryOffset) {
  std::vector<DirectoryEntry> entries;
  std::uint32_t directory = 0;
  for (std::uint32_t id : {kVersionType, kVersionId}) {
    const PeVersionResult r = ReadDirectory(file, root.offset, root.available, directory, &entries);
    if (r != PeVersionResult::kOk) return r;
    const DirectoryEntry* entry = FindId(entries, id);
    if (entry == nullptr) return PeVersionResult::kNoVersionResource;
    if ((entry->value & kHighBit) == 0) return PeVersionResult::kMalformed;
    directory = entry->value & ~kHighBit;
  }
  const PeVersionResult r = ReadDirectory(file, root.offset, root.available, directory, &entries);
  if (r != PeVersionResult::kOk) return r;
  if (entries.empty()) return PeVersionResult::kNoVersionResource;
  const DirectoryEntry* language = FindId(entries, kLanguageNeutral);
  if (language == nullptr) language = FindId(entries, kLanguageEnglishUs);
  if (language == nullptr) language = &entries.front();
  if ((language->value & kHighBit) != 0) return PeVersionResult::kMalformed;
  *entryOffset = language->value;
  return PeVersionResult::kOk;
}

// Reads the data entry at entryOffset in the tree and the start of the data
// it points at (by RVA, in any section).
PeVersionResult ReadVersionData(CheckedReader& file, const ImageLayout& layout, const Mapped& root,
                                std::uint32_t entryOffset, std::vector<std::uint8_t>* data) {
  if (entryOffset > root.available || kDataEntrySize > root.available - entryOffset) {
    return PeVersionResult::kMalformed;
  }
  std::vector<std::uint8_t> bytes;
  const PeVersionResult r = file.Read(root.offset + entryOffset, kDataEntrySize, &bytes);
  if (r != PeVersionResult::kOk) return r;
  std::uint32_t dataRva = 0, dataSize = 0;
  ByteReader(bytes).ReadU32(0, &dataRva);
  ByteReader(bytes).ReadU32(4, &dataSize);
  if (dataSize == 0) return PeVersionResult::kNoVersionResource;
  // The whole declared size must be there, though only its start is read:
  // a reader that trusts the size (the Windows version API copies that
  // many bytes) must not be handed a file that claims more than it holds.
  const std::optional<Mapped> where = MapRva(layout.sections, dataRva, file.size());
  if (!where || dataSize > where->available) return PeVersionResult::kMalformed;
  return file.Read(where->offset, std::min<std::size_t>(dataSize, kMaxVersionDataSize), data);
}

// Where the resource tree lies. The system's data-file mapping of a program
// takes a directory RVA below SizeOfHeaders as the file offset itself (the
// headers are mapped 1:1) and maps any other through the sections; the tree
// then reaches to the end of the file. RVAs inside the tree (the data
// entry's) map through the sections only.
std::optional<Mapped> MapResourceDirectory(const ImageLayout& layout, std::uint64_t fileSize) {
  if (layout.resourceRva >= layout.sizeOfHeaders) {
    return MapRva(layout.sections, layout.resourceRva, fileSize);
  }
  if (layout.resourceRva >= fileSize) return std::nullopt;
  Mapped m;
  m.offset = layout.resourceRva;
  m.available = fileSize - layout.resourceRva;
  return m;
}

PeVersionResult ReadVersionResourceImpl(CheckedReader& file, std::vector<std::uint8_t>* data) {
  ImageLayout layout;
  PeVersionResult r = ReadImageLayout(file, &layout);
  if (r != PeVersionResult::kOk) return r;
  const std::optional<Mapped> root = MapResourceDirectory(layout, file.size());
  if (!root) return PeVersionResult::kMalformed;
  std::uint32_t entryOffset = 0;
  r = FindVersionDataEntry(file, *root, &entryOffset);
  if (r != PeVersionResult::kOk) return r;
  return ReadVersionData(file, layout, *root, entryOffset, data);
}

// One node of a VS_VERSIONINFO tree, as offsets into the block.
struct VersionNode {
  std::size_t end = 0;  // the node's end, cut at its parent's end
  std::size_t keyStart = 0;
  std::size_t keyLength = 0;  // in characters, without the terminator
  std::size_t valueStart = 0;
  std::uint16_t valueLength = 0;  // as declared: characters for text, bytes for binary
  std::size_t childrenStart = 0;
};

constexpr std::size_t kNodeHeaderSize = 6;

std::size_t AlignUp4(std::size_t offset) { return (offset + 3) & ~std::size_t{3}; }

// The node at `start`, which must end by `limit`. Nothing when it is too
// short for its header or its key has no terminator inside it.
std::optional<VersionNode> ParseNode(const ByteReader& block, std::size_t start, std::size_t limit) {
  std::uint16_t length = 0, valueLength = 0, type = 0;
  if (start > limit || kNodeHeaderSize > limit - start || !block.ReadU16(start, &length) ||
      !block.ReadU16(start + 2, &valueLength) || !block.ReadU16(start + 4, &type) ||
      length < kNodeHeaderSize) {
    return std::nullopt;
  }
  VersionNode node;
  node.end = std::min(start + length, limit);
  node.keyStart = start + kNodeHeaderSize;
  std::size_t at = node.keyStart;
  for (;; at += 2) {
    std::uint16_t c = 0;
    if (at + 2 > node.end || !block.ReadU16(at, &c)) return std::nullopt;
    if (c == 0) break;
  }
  node.keyLength = (at - node.keyStart) / 2;
  node.valueStart = AlignUp4(at + 2);
  node.valueLength = valueLength;
  // Text values count characters, binary values bytes.
  const std::size_t valueBytes = type != 0 ? std::size_t{valueLength} * 2 : valueLength;
  node.childrenStart = AlignUp4(node.valueStart + valueBytes);
  return node;
}

bool KeyEquals(const ByteReader& block, const VersionNode& node, std::u16string_view key) {
  if (node.keyLength != key.size()) return false;
  for (std::size_t i = 0; i < key.size(); ++i) {
    std::uint16_t c = 0;
    block.ReadU16(node.keyStart + 2 * i, &c);
    if (!AsciiEqualIgnoringCase(static_cast<char16_t>(c), key[i])) return false;
  }
  return true;
}

std::optional<VersionNode> FindChild(const ByteReader& block, const VersionNode& parent,
                                     std::u16string_view key) {
  std::size_t child = parent.childrenStart;
  // Each step moves on by at least four bytes, so the loop ends.
  while (child < parent.end && kNodeHeaderSize <= parent.end - child) {
    std::uint16_t length = 0;
    block.ReadU16(child, &length);
    if (length == 0) return std::nullopt;
    const std::optional<VersionNode> node = ParseNode(block, child, parent.end);
    if (node && KeyEquals(block, *node, key)) return node;
    child = AlignUp4(child + length);
  }
  return std::nullopt;
}

}  // namespace

PeVersionResult ReadVersionResource(const PositionalInput& input, std::vector<std::uint8_t>* data) {
  data->clear();
  CheckedReader file(input);
  const PeVersionResult r = ReadVersionResourceImpl(file, data);
  if (r != PeVersionResult::kOk) data->clear();
  return r;
}

PeVersionResult FindResourceSection(const PositionalInput& input, FileRange* range) {
  CheckedReader file(input);
  ImageLayout layout;
  const PeVersionResult r = ReadImageLayout(file, &layout);
  if (r != PeVersionResult::kOk) return r;
  for (const Section& s : layout.sections) {
    if (layout.resourceRva < s.virtualAddress || layout.resourceRva - s.virtualAddress >= s.rawSize) {
      continue;
    }
    // The layout read checked that every section lies inside the file.
    range->offset = s.rawOffset;
    range->size = s.rawSize;
    return PeVersionResult::kOk;
  }
  return PeVersionResult::kMalformed;
}

std::optional<std::u16string> QueryVersionText(ByteReader block, std::u16string_view queryPath) {
  std::optional<VersionNode> node = ParseNode(block, 0, block.size());
  bool named = false;
  std::size_t pos = 0;
  while (node && pos < queryPath.size()) {
    const std::size_t slash = std::min(queryPath.find(u'\\', pos), queryPath.size());
    if (slash > pos) {
      node = FindChild(block, *node, queryPath.substr(pos, slash - pos));
      named = true;
    }
    pos = slash + 1;
  }
  // The root's value is the fixed file information, not text.
  if (!node || !named) return std::nullopt;

  std::u16string text;
  if (node->valueLength == 0) return text;
  // A value without a terminator ends with its node: what follows belongs
  // to the next node.
  for (std::size_t at = node->valueStart; at < node->end && 2 <= node->end - at; at += 2) {
    std::uint16_t c = 0;
    if (!block.ReadU16(at, &c) || c == 0) break;
    text.push_back(static_cast<char16_t>(c));
  }
  return text;
}

}  // namespace packprobe
