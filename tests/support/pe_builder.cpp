#include "tests/support/pe_builder.h"

#include <stdexcept>

namespace packprobe::testsupport {
namespace {

constexpr std::uint32_t kSubdirectoryBit = 0x80000000u;
constexpr std::uint32_t kNameBit = 0x80000000u;
constexpr std::size_t kFileAlignment = 0x200;
constexpr std::uint32_t kSectionAlignment = 0x1000;
constexpr std::size_t kHeadersSize = 0x200;
constexpr std::uint32_t kCodeRva = 0x1000;
constexpr std::uint32_t kResourceRva = 0x2000;

std::size_t AlignUp(std::size_t value, std::size_t alignment) {
  return (value + alignment - 1) / alignment * alignment;
}

void PadTo(std::string& bytes, std::size_t alignment) {
  bytes.resize(AlignUp(bytes.size(), alignment), '\0');
}

void AppendU16(std::string& bytes, std::uint16_t value) {
  bytes.push_back(static_cast<char>(value & 0xFF));
  bytes.push_back(static_cast<char>(value >> 8));
}

void AppendU32(std::string& bytes, std::uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) bytes.push_back(static_cast<char>(value >> shift));
}

void PutU64(std::string& bytes, std::size_t offset, std::uint64_t value) {
  PutU32(bytes, offset, static_cast<std::uint32_t>(value));
  PutU32(bytes, offset + 4, static_cast<std::uint32_t>(value >> 32));
}

bool SameId(const ResourceId& a, const ResourceId& b) {
  return a.name == b.name && (a.name || a.id == b.id);
}

// The (language, code page) translation named by a string table key such as
// "040904B0"; zero when the key is not eight hexadecimal digits.
std::uint32_t TranslationOf(const std::u16string& key) {
  if (key.size() != 8) return 0;
  std::uint32_t value = 0;
  for (char16_t c : key) {
    std::uint32_t digit;
    if (c >= u'0' && c <= u'9') digit = c - u'0';
    else if (c >= u'a' && c <= u'f') digit = c - u'a' + 10;
    else if (c >= u'A' && c <= u'F') digit = c - u'A' + 10;
    else return 0;
    value = value << 4 | digit;
  }
  // The key is language then code page; the Translation value stores the
  // language in its low word.
  return (value >> 16) | (value & 0xFFFF) << 16;
}

// The resource section's content, laid out as: the root directory, the name
// directories, the language directories, the data entries, the name strings,
// the data. Offsets are relative to the section start.
struct ResourceTree {
  std::string bytes;
  std::vector<std::size_t> directories;
  std::vector<std::size_t> dataEntries;
  std::vector<std::size_t> data;
};

ResourceTree BuildResourceTree(const std::vector<Resource>& resources, std::uint32_t sectionRva) {
  struct NameGroup {
    ResourceId name;
    std::vector<std::size_t> members;  // indexes into resources
  };
  struct TypeGroup {
    ResourceId type;
    std::vector<NameGroup> names;
  };
  std::vector<TypeGroup> types;
  for (std::size_t i = 0; i < resources.size(); ++i) {
    const Resource& r = resources[i];
    TypeGroup* type = nullptr;
    for (TypeGroup& t : types) {
      if (SameId(t.type, r.type)) type = &t;
    }
    if (type == nullptr) type = &types.emplace_back(TypeGroup{r.type, {}});
    NameGroup* name = nullptr;
    for (NameGroup& n : type->names) {
      if (SameId(n.name, r.name)) name = &n;
    }
    if (name == nullptr) name = &type->names.emplace_back(NameGroup{r.name, {}});
    name->members.push_back(i);
  }

  // Sizes first, so that every offset is known before anything is written.
  auto directorySize = [](std::size_t entries) { return 16 + 8 * entries; };
  ResourceTree tree;
  std::size_t offset = 0;
  tree.directories.push_back(offset);
  offset += directorySize(types.size());
  for (const TypeGroup& t : types) {
    tree.directories.push_back(offset);
    offset += directorySize(t.names.size());
  }
  std::vector<std::size_t> languageDirectories;
  for (const TypeGroup& t : types) {
    for (const NameGroup& n : t.names) {
      languageDirectories.push_back(offset);
      tree.directories.push_back(offset);
      offset += directorySize(n.members.size());
    }
  }
  tree.dataEntries.resize(resources.size());
  for (std::size_t i = 0; i < resources.size(); ++i) {
    tree.dataEntries[i] = offset;
    offset += 16;
  }

  std::string strings;
  auto nameField = [&](const ResourceId& id, std::size_t stringsStart) -> std::uint32_t {
    if (!id.name) return id.id;
    const std::size_t at = stringsStart + strings.size();
    AppendU16(strings, static_cast<std::uint16_t>(id.name->size()));
    strings += Utf16Bytes(*id.name);
    return kNameBit | static_cast<std::uint32_t>(at);
  };

  std::string& out = tree.bytes;
  const std::size_t stringsStart = offset;
  auto writeDirectoryHeader = [&](std::size_t named, std::size_t ids) {
    AppendU32(out, 0);  // characteristics
    AppendU32(out, 0);  // time stamp
    AppendU16(out, 4);  // major version
    AppendU16(out, 0);  // minor version
    AppendU16(out, static_cast<std::uint16_t>(named));
    AppendU16(out, static_cast<std::uint16_t>(ids));
  };
  auto countNamed = [](const auto& groups, auto idOf) {
    std::size_t named = 0;
    for (const auto& g : groups) named += idOf(g).name ? 1 : 0;
    return named;
  };

  // Root: one entry per type.
  {
    const std::size_t named = countNamed(types, [](const TypeGroup& t) { return t.type; });
    writeDirectoryHeader(named, types.size() - named);
    for (std::size_t t = 0; t < types.size(); ++t) {
      AppendU32(out, nameField(types[t].type, stringsStart));
      AppendU32(out, kSubdirectoryBit | static_cast<std::uint32_t>(tree.directories[1 + t]));
    }
  }
  // Name directories.
  std::size_t languageIndex = 0;
  for (const TypeGroup& t : types) {
    const std::size_t named = countNamed(t.names, [](const NameGroup& n) { return n.name; });
    writeDirectoryHeader(named, t.names.size() - named);
    for (const NameGroup& n : t.names) {
      AppendU32(out, nameField(n.name, stringsStart));
      AppendU32(out, kSubdirectoryBit |
                         static_cast<std::uint32_t>(languageDirectories[languageIndex++]));
    }
  }
  // Language directories.
  for (const TypeGroup& t : types) {
    for (const NameGroup& n : t.names) {
      writeDirectoryHeader(0, n.members.size());
      for (std::size_t member : n.members) {
        AppendU32(out, resources[member].language);
        AppendU32(out, static_cast<std::uint32_t>(tree.dataEntries[member]));
      }
    }
  }
  // Data entries, filled in once the data offsets are known.
  out.resize(out.size() + 16 * resources.size(), '\0');
  out += strings;
  tree.data.resize(resources.size());
  for (std::size_t i = 0; i < resources.size(); ++i) {
    PadTo(out, 8);
    tree.data[i] = out.size();
    out += resources[i].data;
    PutU32(out, tree.dataEntries[i], sectionRva + static_cast<std::uint32_t>(tree.data[i]));
    PutU32(out, tree.dataEntries[i] + 4, static_cast<std::uint32_t>(resources[i].data.size()));
    PutU32(out, tree.dataEntries[i] + 8, 0);  // code page
  }
  return tree;
}

void WriteSectionHeader(std::string& bytes, std::size_t at, const char* name,
                        std::uint32_t virtualSize, std::uint32_t rva, std::uint32_t rawSize,
                        std::uint32_t rawOffset, std::uint32_t characteristics) {
  for (std::size_t i = 0; i < 8 && name[i] != '\0'; ++i) bytes[at + i] = name[i];
  PutU32(bytes, at + 8, virtualSize);
  PutU32(bytes, at + 12, rva);
  PutU32(bytes, at + 16, rawSize);
  PutU32(bytes, at + 20, rawOffset);
  PutU32(bytes, at + 36, characteristics);
}

}  // namespace

std::string Utf16Bytes(const std::u16string& text) {
  std::string bytes;
  for (char16_t c : text) AppendU16(bytes, c);
  return bytes;
}

void PutU16(std::string& bytes, std::size_t offset, std::uint16_t value) {
  bytes.at(offset) = static_cast<char>(value & 0xFF);
  bytes.at(offset + 1) = static_cast<char>(value >> 8);
}

void PutU32(std::string& bytes, std::size_t offset, std::uint32_t value) {
  PutU16(bytes, offset, static_cast<std::uint16_t>(value));
  PutU16(bytes, offset + 2, static_cast<std::uint16_t>(value >> 16));
}

VersionNode StringNode(const std::u16string& key, const std::u16string& text) {
  VersionNode node;
  node.key = key;
  node.type = 1;
  node.value = Utf16Bytes(text) + std::string(2, '\0');
  return node;
}

VersionNode VersionInfoNode(const std::vector<StringTable>& tables) {
  VersionNode root;
  root.key = u"VS_VERSION_INFO";
  root.type = 0;
  // VS_FIXEDFILEINFO: signature, structure version, file and product
  // versions 1.0.0.0, flags mask, flags, OS (NT, Win32), type (application),
  // subtype, date.
  AppendU32(root.value, 0xFEEF04BDu);
  AppendU32(root.value, 0x00010000u);
  AppendU32(root.value, 0x00010000u);
  AppendU32(root.value, 0);
  AppendU32(root.value, 0x00010000u);
  AppendU32(root.value, 0);
  AppendU32(root.value, 0x3F);
  AppendU32(root.value, 0);
  AppendU32(root.value, 0x00040004u);
  AppendU32(root.value, 1);
  AppendU32(root.value, 0);
  AppendU32(root.value, 0);
  AppendU32(root.value, 0);

  if (!tables.empty()) {
    VersionNode stringFileInfo;
    stringFileInfo.key = u"StringFileInfo";
    for (const StringTable& table : tables) {
      VersionNode tableNode;
      tableNode.key = table.key;
      for (const auto& [key, text] : table.strings) tableNode.children.push_back(StringNode(key, text));
      stringFileInfo.children.push_back(std::move(tableNode));
    }
    root.children.push_back(std::move(stringFileInfo));
  }

  VersionNode translation;
  translation.key = u"Translation";
  translation.type = 0;
  AppendU32(translation.value,
            TranslationOf(tables.empty() ? std::u16string(u"040904B0") : tables.front().key));
  VersionNode varFileInfo;
  varFileInfo.key = u"VarFileInfo";
  varFileInfo.children.push_back(std::move(translation));
  root.children.push_back(std::move(varFileInfo));
  return root;
}

std::string EncodeVersionNode(const VersionNode& node) {
  std::string out(6, '\0');
  out += Utf16Bytes(node.key);
  AppendU16(out, 0);
  PadTo(out, 4);
  out += node.value;
  for (const VersionNode& child : node.children) {
    PadTo(out, 4);
    out += EncodeVersionNode(child);
  }
  if (!node.length && out.size() > 0xFFFF) throw std::length_error("version node too long");
  const std::size_t valueLength = node.type == 1 ? node.value.size() / 2 : node.value.size();
  PutU16(out, 0, node.length.value_or(static_cast<std::uint16_t>(out.size())));
  PutU16(out, 2, node.valueLength.value_or(static_cast<std::uint16_t>(valueLength)));
  PutU16(out, 4, node.type);
  return out;
}

std::string BuildVersionInfo(const std::vector<StringTable>& tables) {
  return EncodeVersionNode(VersionInfoNode(tables));
}

Resource VersionResource(const std::string& block, std::uint16_t language) {
  return Resource{ResourceId{kResourceTypeVersion, std::nullopt}, ResourceId{1, std::nullopt},
                  language, block};
}

ProgramImage BuildProgram(const ProgramContents& contents) {
  ProgramImage image;
  const bool withResources = !contents.resources.empty();
  const bool sectionAfter = withResources && contents.sectionAfterResources;
  const std::size_t sectionCount = withResources ? (sectionAfter ? 3 : 2) : 1;
  const std::size_t optionalHeaderSize = contents.pe32Plus ? 240 : 224;

  std::string& b = image.bytes;
  b.assign(kHeadersSize, '\0');

  // DOS header: the signature and the offset of the PE headers.
  b[0] = 'M';
  b[1] = 'Z';
  PutU32(b, 0x3C, 0x80);

  image.peSignature = 0x80;
  b[0x80] = 'P';
  b[0x81] = 'E';
  const std::size_t coff = 0x84;
  PutU16(b, coff, contents.pe32Plus ? 0x8664 : 0x014C);  // machine
  PutU16(b, coff + 2, static_cast<std::uint16_t>(sectionCount));
  PutU16(b, coff + 16, static_cast<std::uint16_t>(optionalHeaderSize));
  // Executable image; 32-bit machine or large-address aware.
  PutU16(b, coff + 18, contents.pe32Plus ? 0x0022 : 0x0102);

  // Code section: "xor eax, eax; ret".
  const std::size_t codeOffset = kHeadersSize;
  std::string code = "\x31\xC0\xC3";
  code.resize(kFileAlignment, '\0');

  ResourceTree tree;
  const std::size_t resourceOffset = codeOffset + code.size();
  if (withResources) tree = BuildResourceTree(contents.resources, kResourceRva);
  const std::size_t resourceRawSize = AlignUp(tree.bytes.size(), kFileAlignment);
  const std::uint32_t afterRva = static_cast<std::uint32_t>(
      AlignUp(kResourceRva + (withResources ? tree.bytes.size() : 0), kSectionAlignment));
  const std::uint32_t imageSize = afterRva + (sectionAfter ? kSectionAlignment : 0);

  const std::size_t opt = coff + 20;
  image.optionalHeader = opt;
  PutU16(b, opt, contents.pe32Plus ? 0x020B : 0x010B);
  b[opt + 2] = 2;  // linker version
  PutU32(b, opt + 4, static_cast<std::uint32_t>(code.size()));
  PutU32(b, opt + 8, static_cast<std::uint32_t>(resourceRawSize));
  PutU32(b, opt + 16, kCodeRva);  // entry point
  PutU32(b, opt + 20, kCodeRva);  // base of code
  if (contents.pe32Plus) {
    PutU64(b, opt + 24, 0x140000000ull);
  } else {
    PutU32(b, opt + 24, kResourceRva);  // base of data
    PutU32(b, opt + 28, 0x00400000u);
  }
  PutU32(b, opt + 32, kSectionAlignment);
  PutU32(b, opt + 36, static_cast<std::uint32_t>(kFileAlignment));
  PutU16(b, opt + 40, 4);  // OS version
  PutU16(b, opt + 48, 4);  // subsystem version
  PutU32(b, opt + 56, imageSize);
  PutU32(b, opt + 60, static_cast<std::uint32_t>(kHeadersSize));
  PutU16(b, opt + 68, 3);  // console subsystem
  const std::size_t sizes = opt + 72;
  if (contents.pe32Plus) {
    PutU64(b, sizes, 0x100000);
    PutU64(b, sizes + 8, 0x1000);
    PutU64(b, sizes + 16, 0x100000);
    PutU64(b, sizes + 24, 0x1000);
  } else {
    PutU32(b, sizes, 0x100000);
    PutU32(b, sizes + 4, 0x1000);
    PutU32(b, sizes + 8, 0x100000);
    PutU32(b, sizes + 12, 0x1000);
  }
  const std::size_t directoryCount = opt + (contents.pe32Plus ? 108 : 92);
  PutU32(b, directoryCount, 16);
  image.resourceDataDirectory = directoryCount + 4 + 2 * 8;
  if (withResources) {
    PutU32(b, image.resourceDataDirectory, kResourceRva);
    PutU32(b, image.resourceDataDirectory + 4, static_cast<std::uint32_t>(tree.bytes.size()));
  }

  image.sectionTable = opt + optionalHeaderSize;
  WriteSectionHeader(b, image.sectionTable, ".text", 3, kCodeRva,
                     static_cast<std::uint32_t>(code.size()),
                     static_cast<std::uint32_t>(codeOffset), 0x60000020u);
  b += code;
  if (withResources) {
    image.resourceSectionIndex = 1;
    WriteSectionHeader(b, image.sectionTable + 40, ".rsrc",
                       static_cast<std::uint32_t>(tree.bytes.size()), kResourceRva,
                       static_cast<std::uint32_t>(resourceRawSize),
                       static_cast<std::uint32_t>(resourceOffset), 0x40000040u);
    image.resourceSection = resourceOffset;
    image.resourceRva = kResourceRva;
    b += tree.bytes;
    b.resize(resourceOffset + resourceRawSize, '\0');
    for (std::size_t d : tree.directories) image.directories.push_back(resourceOffset + d);
    for (std::size_t d : tree.dataEntries) image.dataEntries.push_back(resourceOffset + d);
    for (std::size_t d : tree.data) image.data.push_back(resourceOffset + d);
  }
  if (sectionAfter) {
    // Zeros, which a reader that strays into them takes for empty records.
    WriteSectionHeader(b, image.sectionTable + 80, ".data", kFileAlignment, afterRva,
                       kFileAlignment, static_cast<std::uint32_t>(b.size()), 0xC0000040u);
    b.append(kFileAlignment, '\0');
  }
  b += contents.tail;
  return image;
}

std::string BuildVersionedProgram(const VersionStrings& strings, const std::u16string& tableKey) {
  ProgramContents contents;
  contents.resources.push_back(VersionResource(BuildVersionInfo({StringTable{tableKey, strings}})));
  return BuildProgram(contents).bytes;
}

}  // namespace packprobe::testsupport
