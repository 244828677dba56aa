#include "pe/pe_version_resource.h"

#include <gtest/gtest.h>

#include <functional>

#include "tests/support/pe_builder.h"

namespace packprobe {
namespace {

using testsupport::BuildProgram;
using testsupport::BuildVersionInfo;
using testsupport::EncodeVersionNode;
using testsupport::ProgramImage;
using testsupport::ProgramContents;
using testsupport::PutU16;
using testsupport::PutU32;
using testsupport::Resource;
using testsupport::ResourceId;
using testsupport::StringNode;
using testsupport::StringTable;
using testsupport::VersionInfoNode;
using testsupport::VersionNode;
using testsupport::VersionResource;

constexpr std::u16string_view kComments = u"\\StringFileInfo\\040904B0\\Comments";
constexpr std::u16string_view kFileVersion = u"\\StringFileInfo\\040904B0\\FileVersion";

std::span<const std::uint8_t> Bytes(const std::string& s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

PeVersionResult Read(const std::string& file, std::vector<std::uint8_t>* data = nullptr) {
  std::vector<std::uint8_t> ignored;
  return ReadVersionResource(MemoryInput(Bytes(file)), data != nullptr ? data : &ignored);
}

std::optional<std::u16string> FileText(const std::string& file, std::u16string_view query) {
  std::vector<std::uint8_t> data;
  if (Read(file, &data) != PeVersionResult::kOk) return std::nullopt;
  return QueryVersionText(ByteReader(data), query);
}

std::optional<std::u16string> BlockText(const std::string& block, std::u16string_view query) {
  return QueryVersionText(ByteReader(Bytes(block)), query);
}

std::string Block(const std::u16string& comments) {
  return BuildVersionInfo({StringTable{u"040904B0", {{u"Comments", comments}}}});
}

ProgramImage Versioned(const std::u16string& comments, bool pe32Plus = false) {
  ProgramContents contents;
  contents.pe32Plus = pe32Plus;
  contents.resources.push_back(VersionResource(Block(comments)));
  return BuildProgram(contents);
}

// --- Finding the version resource -----------------------------------------

TEST(PeVersionResourceTest, PrefersNeutralThenUsEnglishThenTheFirstListed) {
  auto version = [](const std::u16string& comments, std::uint16_t language) {
    return VersionResource(Block(comments), language);
  };
  struct Case {
    std::vector<Resource> resources;
    std::u16string expected;
  } cases[] = {
      {{version(u"4.0.0.0", 0x0407), version(u"3.0.3.0", 0x0409), version(u"6.0.0.0", 0x0000)},
       u"6.0.0.0"},
      {{version(u"4.0.0.0", 0x0407), version(u"3.0.3.0", 0x0409)}, u"3.0.3.0"},
      {{version(u"5.0.0.0", 0x040C), version(u"4.0.0.0", 0x0407)}, u"5.0.0.0"},
  };
  for (const Case& c : cases) {
    ProgramContents contents;
    contents.resources = c.resources;
    EXPECT_EQ(FileText(BuildProgram(contents).bytes, kComments), c.expected);
  }
}

TEST(PeVersionResourceTest, SkipsOtherResourcesAndNamedEntries) {
  ProgramContents contents;
  contents.resources.push_back(Resource{ResourceId{10, u"PAYLOAD"}, ResourceId{1, {}}, 0, "data"});
  contents.resources.push_back(Resource{ResourceId{24, {}}, ResourceId{1, {}}, 0x0409, "<xml/>"});
  contents.resources.push_back(Resource{ResourceId{16, {}}, ResourceId{0, u"VERSION"}, 0, Block(u"9.9.9.9")});
  contents.resources.push_back(VersionResource(Block(u"3.0.3.0"), 0x0409));
  ProgramImage image = BuildProgram(contents);
  EXPECT_EQ(FileText(image.bytes, kComments), u"3.0.3.0");
  // A name is no ID, even when the offset of its text looks like one.
  PutU32(image.bytes, image.directories[3] + 16, 0x80000001u);
  EXPECT_EQ(FileText(image.bytes, kComments), u"3.0.3.0");
}

TEST(PeVersionResourceTest, TellsMissingResourcesFromBrokenFiles) {
  ProgramContents none;
  EXPECT_EQ(Read(BuildProgram(none).bytes), PeVersionResult::kNoVersionResource);

  ProgramContents otherName;  // a version resource, but not ID 1
  otherName.resources.push_back(Resource{ResourceId{16, {}}, ResourceId{2, {}}, 0, Block(u"1")});
  EXPECT_EQ(Read(BuildProgram(otherName).bytes), PeVersionResult::kNoVersionResource);

  for (const std::string& file : {std::string(), std::string("MZ"), std::string(4096, '\0'),
                                 std::string("\x7f" "ELF") + std::string(200, '\x01')}) {
    EXPECT_EQ(Read(file), PeVersionResult::kMalformed);
  }
}

// --- Hostile program files --------------------------------------------------

// Both header formats are read whole, and cut at any length are malformed
// (the resource section ends the file) with nothing handed back.
TEST(PeVersionResourceTest, BothHeaderFormatsAndEveryTruncation) {
  for (bool pe32Plus : {false, true}) {
    const std::string file = Versioned(u"VEKStub 3.0.3.0", pe32Plus).bytes;
    EXPECT_EQ(FileText(file, kComments), u"VEKStub 3.0.3.0") << pe32Plus;
    for (std::size_t length = 0; length < file.size(); ++length) {
      std::vector<std::uint8_t> data(1);
      EXPECT_EQ(Read(file.substr(0, length), &data), PeVersionResult::kMalformed) << length;
      EXPECT_TRUE(data.empty()) << length;
    }
  }
}

using Edit = std::function<void(std::string&)>;
Edit U16At(std::size_t at, std::uint16_t v) { return [=](std::string& f) { PutU16(f, at, v); }; }
Edit U32At(std::size_t at, std::uint32_t v) { return [=](std::string& f) { PutU32(f, at, v); }; }
Edit Both(Edit a, Edit b) { return [=](std::string& f) { a(f), b(f); }; }

// Hostile fields, and every limit on both sides, in two layouts: the
// resource section last and ending the file, and as in a component, followed
// by another section and an archive, so that the file's size hides no check
// of a section's bounds. Directories that point back at themselves or an
// ancestor cannot make the walk loop.
TEST(PeVersionResourceTest, HostileFieldsGiveExactResults) {
  const std::string block = Block(u"3.0.3.0");
  for (const bool componentLayout : {false, true}) {
    ProgramContents contents;
    contents.resources.push_back(VersionResource(block));
    contents.sectionAfterResources = componentLayout;
    if (componentLayout) contents.tail = "PK\x05\x06" + std::string(4096, 'A');
    const ProgramImage image = BuildProgram(contents);
    const std::size_t section = image.sectionTable + 40 * image.resourceSectionIndex;
    const std::size_t entry = image.dataEntries[0], root = image.directories[0];
    const std::size_t names = image.directories[1], languages = image.directories[2];
    const std::size_t language = languages + 16 + 4, coff = image.peSignature + 4;
    std::uint32_t rawSize = 0;
    ByteReader(Bytes(image.bytes)).ReadU32(section + 16, &rawSize);
    const std::uint32_t rawEnd = image.resourceRva + rawSize;
    // The data's size when it ends exactly at the section's raw end.
    const auto toRawEnd =
        static_cast<std::uint32_t>(image.resourceSection + rawSize - image.data[0]);
    const auto rootEntries = static_cast<std::uint16_t>((rawSize - 16) / 8);  // fill the section
    // Moves the data entry to `at` in the section.
    const auto moveEntry = [&](std::uint32_t at) -> Edit {
      return [=, &image](std::string& f) {
        f.replace(image.resourceSection + at, 16, f.substr(entry, 16));
        PutU32(f, language, at);
      };
    };
    // Sections packed in memory without gaps: the next section starts at the
    // resource section's raw end and holds the data.
    const Edit inNextSection = [=, &image](std::string& f) {
      Both(U32At(section + 40 + 12, rawEnd), U32At(entry, rawEnd))(f);
      f.replace(image.resourceSection + rawSize, block.size(), block);
    };
    // The resource tree copied to file offset 0x300, the directory RVA
    // pointing there and SizeOfHeaders raised above it (over the zeros at
    // the end of the code section's raw data); the data entry's RVA still
    // points into the resource section.
    const std::size_t treeSize = image.data[0] - image.resourceSection;
    const std::size_t sizeOfHeaders = image.optionalHeader + 60;
    const auto treeInHeaders = [=, &image](std::uint32_t headersEnd) -> Edit {
      return [=, &image](std::string& f) {
        f.replace(0x300, treeSize, f.substr(image.resourceSection, treeSize));
        PutU32(f, image.resourceDataDirectory, 0x300);
        PutU32(f, sizeOfHeaders, headersEnd);
      };
    };
    const PeVersionResult ok = PeVersionResult::kOk, none = PeVersionResult::kNoVersionResource;
    struct Case {
      const char* what;
      Edit edit;
      PeVersionResult expected = PeVersionResult::kMalformed;
    } cases[] = {
        {"data ending at the section's raw end", U32At(entry + 4, toRawEnd), ok},
        {"data one byte past the section's raw end", U32At(entry + 4, toRawEnd + 1)},
        {"one byte at the section's last raw byte",
         Both(U32At(entry, rawEnd - 1), U32At(entry + 4, 1)), ok},
        {"data RVA at the section's raw end", Both(U32At(entry, rawEnd), U32At(entry + 4, 1))},
        {"data in the section that starts at the raw end", inNextSection,
         componentLayout ? ok : PeVersionResult::kMalformed},
        {"root entries filling the section", U16At(root + 14, rootEntries), ok},
        {"root entries one past the section", U16At(root + 14, rootEntries + 1)},
        {"data entry in the section's last bytes", moveEntry(rawSize - 16), ok},
        {"data entry crossing the section's end", moveEntry(rawSize - 15)},
        {"directory header crossing the section's end",
         U32At(root + 16 + 4, 0x80000000u | (rawSize - 15))},
        {"fewer than three data directories", U32At(image.resourceDataDirectory - 20, 2), none},
        {"optional header ending before the resource entry", U16At(coff + 16, 96), none},
        {"no version data", U32At(entry + 4, 0), none},
        // The root, read as a name directory, lists no ID 1.
        {"type entry back to the root", U32At(root + 16 + 4, 0x80000000u), none},
        {"name entry back to the root", U32At(names + 16 + 4, 0x80000000u)},
        {"name entry to itself", U32At(names + 16 + 4, 0x80000000u | std::uint32_t(names - root))},
        {"language entry to the root", U32At(language, 0x80000000u)},
        {"language entry to its directory",
         U32At(language, 0x80000000u | std::uint32_t(languages - root))},
        {"DOS signature", U16At(0, 0x584D)},  // "MX"
        {"PE header offset", U32At(0x3C, 0xFFFFFFF0u)},
        {"PE signature", U16At(image.peSignature, 0x5850)},
        {"optional header magic", U16At(image.optionalHeader, 0x0107)},
        {"optional header size", U16At(coff + 16, 0xFFFF)},
        {"section count", U16At(coff + 2, 0xFFFF)},
        {"resource RVA outside every section", U32At(image.resourceDataDirectory, 0x7FFF0000u)},
        {"resource RVA below SizeOfHeaders, read 1:1", treeInHeaders(0x400), ok},
        {"resource RVA at SizeOfHeaders, in no section", treeInHeaders(0x300)},
        {"resource tree starting in the headers and continuing past them", treeInHeaders(0x308), ok},
        {"section raw data past the end", U32At(section + 20, 0xFFFFFE00u)},
        {"code section longer than the file", U32At(image.sectionTable + 16, 0x10000u)},
        {"directory entry counts", U32At(root + 12, 0xFFFFFFFFu)},
        {"subdirectory past the section", U32At(root + 16 + 4, 0x80000000u | 0x7FFFFFF0u)},
        {"data entry past the section", U32At(language, 0x7FFFFFF0u)},
        {"data RVA outside every section", U32At(entry, 0x00900000u)},
        {"data size past the section", U32At(entry + 4, 0xFFFFFFFFu)},
        {"data RVA in the section's zero-filled tail", U32At(entry, image.resourceRva + 0x0FF0)},
    };
    for (const Case& c : cases) {
      std::string file = image.bytes;
      c.edit(file);
      EXPECT_EQ(Read(file), c.expected) << c.what << (componentLayout ? " (component)" : "");
    }
  }
}

// Serves a built image as the start of a file of `size` bytes (zeros after
// it) and counts what is read.
class LargeFileInput final : public PositionalInput {
 public:
  LargeFileInput(const std::string& start, std::uint64_t size) : start_(start), size_(size) {}
  std::uint64_t Size() const override { return size_; }
  bool ReadAt(std::uint64_t offset, std::span<std::uint8_t> out) const override {
    if (failing) return false;
    bytesRead += out.size();
    for (std::size_t i = 0; i < out.size(); ++i) {
      out[i] = offset + i < start_.size() ? static_cast<std::uint8_t>(start_[offset + i]) : 0;
    }
    return true;
  }
  mutable std::uint64_t bytesRead = 0;
  bool failing = false;

 private:
  std::string start_;
  std::uint64_t size_;
};

TEST(PeVersionResourceTest, ReadsFewBytesOfAHugeResourceSection) {
  // A 300 MB program whose resource section spans the whole file, as when a
  // setup program carries its payload as a resource.
  ProgramImage image = Versioned(u"3.0.3.0");
  const std::uint64_t size = 300ull << 20;
  const std::size_t section = image.sectionTable + 40 * image.resourceSectionIndex;
  PutU32(image.bytes, section + 8, static_cast<std::uint32_t>(size));
  PutU32(image.bytes, section + 16, static_cast<std::uint32_t>(size - image.resourceSection));
  LargeFileInput input(image.bytes, size);
  std::vector<std::uint8_t> data;
  ASSERT_EQ(ReadVersionResource(input, &data), PeVersionResult::kOk);
  EXPECT_EQ(QueryVersionText(ByteReader(data), kComments), u"3.0.3.0");
  EXPECT_LT(input.bytesRead, 4096u);

  input.failing = true;
  EXPECT_EQ(ReadVersionResource(input, &data), PeVersionResult::kReadError);
  EXPECT_TRUE(data.empty());
}

// --- The query walk -------------------------------------------------------------

TEST(PeVersionResourceTest, QueryKeysIgnoreAsciiCaseAndEmptyComponents) {
  const std::string block = BuildVersionInfo({StringTable{u"040904b0", {{u"Comments", u"3.0.3.0"}}}});
  for (std::u16string_view query :
       {kComments, std::u16string_view(u"\\STRINGFILEINFO\\040904b0\\comments"),
        std::u16string_view(u"StringFileInfo\\\\040904B0\\Comments\\")}) {
    EXPECT_EQ(BlockText(block, query), u"3.0.3.0") << std::string(query.begin(), query.end());
  }
  // Only ASCII letters fold, and a key must match whole.
  EXPECT_EQ(BlockText(block, u"\\StringFileInfo\\040904B0\\Comment"), std::nullopt);
  EXPECT_EQ(BlockText(block, u"\\StringFileInfo\\040904B0\\Comments2"), std::nullopt);
  const std::string edges = BuildVersionInfo({StringTable{u"040904B0", {{u"Zz@[", u"1"}}}});
  EXPECT_EQ(BlockText(edges, u"\\StringFileInfo\\040904B0\\zZ@["), u"1");
  EXPECT_EQ(BlockText(edges, u"\\StringFileInfo\\040904B0\\zZ`{"), std::nullopt);
  EXPECT_EQ(BlockText(block, u"\\StringFileInfo\\040904B0\\Comments\\x"), std::nullopt);
  // The root's value is no text.
  EXPECT_EQ(BlockText(block, u"\\"), std::nullopt);
  EXPECT_EQ(BlockText(block, u""), std::nullopt);
}

TEST(PeVersionResourceTest, QueryFindsTheTableAmongSeveral) {
  const std::string block = BuildVersionInfo({
      StringTable{u"040704B0", {{u"Comments", u"1.1.1.1"}}},
      StringTable{u"000004B0", {{u"Comments", u"2.2.2.2"}, {u"FileVersion", u"2.0"}}},
      StringTable{u"040904B0", {{u"FileVersion", u"7.9.1.0"}, {u"Comments", u"3.0.3.0"}}},
  });
  EXPECT_EQ(BlockText(block, kComments), u"3.0.3.0");
  EXPECT_EQ(BlockText(block, kFileVersion), u"7.9.1.0");
  EXPECT_EQ(BlockText(BuildVersionInfo({StringTable{u"040704B0", {{u"Comments", u"1"}}}}), kComments),
            std::nullopt);
}

// A table whose first string is `first`, followed by FileVersion "7.9.1.0".
std::string TableWith(const VersionNode& first) {
  VersionNode root = VersionInfoNode({StringTable{u"040904B0", {}}});
  VersionNode& table = root.children[0].children[0];
  table.children.push_back(first);
  table.children.push_back(StringNode(u"FileVersion", u"7.9.1.0"));
  return EncodeVersionNode(root);
}

TEST(PeVersionResourceTest, ADeclaredValueLengthOfZeroIsTheEmptyText) {
  // Without a value the key's padding is followed by the next string's
  // header, which must not be read as text.
  VersionNode empty;
  empty.key = u"Comments";
  EXPECT_EQ(BlockText(TableWith(empty), kComments), u"");
  EXPECT_EQ(BlockText(TableWith(empty), kFileVersion), u"7.9.1.0");
  VersionNode undeclared = StringNode(u"Comments", u"3.0.3.0");
  undeclared.valueLength = 0;
  EXPECT_EQ(BlockText(TableWith(undeclared), kComments), u"");
}

TEST(PeVersionResourceTest, AValueEndsWithItsNode) {
  VersionNode unterminated;
  unterminated.key = u"Comments";
  // Twelve characters end on a 32-bit boundary: the next string's header
  // follows with no padding between.
  unterminated.value = testsupport::Utf16Bytes(u"Stub 3.0.3.0");
  EXPECT_EQ(BlockText(TableWith(unterminated), kComments), u"Stub 3.0.3.0");
  // Nor past its parent, whatever length it declares.
  VersionNode root = VersionInfoNode({StringTable{u"040904B0", {}}});
  root.children[0].children[0].children.push_back(unterminated);
  root.children[0].children[0].children.back().length = 0xFFFF;
  EXPECT_EQ(BlockText(EncodeVersionNode(root), kComments), u"Stub 3.0.3.0");
  // A declared length beyond the node changes nothing.
  VersionNode overlong = StringNode(u"Comments", u"3.0.3.0");
  overlong.valueLength = 0xFFFF;
  EXPECT_EQ(BlockText(TableWith(overlong), kComments), u"3.0.3.0");
  EXPECT_EQ(BlockText(TableWith(overlong), kFileVersion), u"7.9.1.0");
  // Text is binary-typed in some files; the value is read the same way.
  VersionNode binary = StringNode(u"Comments", u"3.0.3.0");
  binary.type = 0;
  EXPECT_EQ(BlockText(TableWith(binary), kComments), u"3.0.3.0");
}

TEST(PeVersionResourceTest, MalformedNodesEndTheWalk) {
  VersionNode zero = StringNode(u"Other", u"x");
  zero.length = 0;  // cannot be stepped over
  EXPECT_EQ(BlockText(TableWith(zero), kFileVersion), std::nullopt);

  // A node shorter than a header is stepped over by its declared length,
  // rounded up to 32 bits: here its length, then its type field, lead on
  // to the next node.
  VersionNode tiny;  // a header and an empty key: eight bytes
  tiny.length = 4;
  EXPECT_EQ(BlockText(TableWith(tiny), kFileVersion), u"7.9.1.0");
  tiny.type = 0;  // now read as a length of 0, which ends the walk
  EXPECT_EQ(BlockText(TableWith(tiny), kFileVersion), std::nullopt);

  VersionNode cut = StringNode(u"Comments", u"3.0.3.0");
  cut.length = 6 + 16 + 1;  // ends inside its key's terminator: no key
  EXPECT_EQ(BlockText(TableWith(cut), kComments), std::nullopt);

  VersionNode huge = StringNode(u"Comments", u"3.0.3.0");
  huge.length = 0xFFFF;  // cut at the end of its table
  EXPECT_EQ(BlockText(TableWith(huge), kComments), u"3.0.3.0");

  std::string block = Block(u"3.0.3.0");
  PutU16(block, 0, 0xFFFF);  // a root longer than the block
  EXPECT_EQ(BlockText(block, kComments), u"3.0.3.0");
  PutU16(block, 0, 4);  // a root shorter than its header
  EXPECT_EQ(BlockText(block, kComments), std::nullopt);

  // A key that runs to the end of the block.
  const std::string unterminated = std::string("\x40\x00\x00\x00\x01\x00", 6) +
                                   testsupport::Utf16Bytes(std::u16string(29, u'K'));
  EXPECT_EQ(BlockText(unterminated, kComments), std::nullopt);
}

TEST(PeVersionResourceTest, ATruncatedBlockGivesNothingOrAPrefix) {
  const std::u16string comments = u"VEKStub 3.0.3.0";
  const std::string block =
      BuildVersionInfo({StringTable{u"040904B0", {{u"FileVersion", u"7.9.1.0"}, {u"Comments", comments}}}});
  for (std::size_t length = 0; length <= block.size(); ++length) {
    const std::optional<std::u16string> text = BlockText(block.substr(0, length), kComments);
    if (text) {
      EXPECT_EQ(comments.substr(0, text->size()), *text) << length;
    }
  }
  EXPECT_EQ(BlockText(block, kComments), comments);
}

}  // namespace
}  // namespace packprobe
