#include "zip/zip_file_entry.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <sys/stat.h>
#ifndef _WIN32
#include <signal.h>
#include <sys/resource.h>
#endif

#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/file.h"
#include "platform/heap.h"
#include "util/text.h"
#include "tests/support/scratch_dir.h"
#include "tests/support/zip_writer.h"
#include "zip/zip_file.h"

namespace vekzip {
namespace {

namespace fs = std::filesystem;
using packprobe::Utf16ToUtf8;
using packprobe::Utf8ToUtf16;
using packprobe::platform::File;
using packprobe::testsupport::BuildArchive;
using packprobe::testsupport::Crc32;
using packprobe::testsupport::DosDate;
using packprobe::testsupport::DosTime;
using packprobe::testsupport::ListTree;
using packprobe::testsupport::ProgramLikeBytes;
using packprobe::testsupport::RawDeflate;
using packprobe::testsupport::ReadFile;
using packprobe::testsupport::ScratchDir;
using packprobe::testsupport::WriteFile;
using packprobe::testsupport::ZipHeaderFields;
using packprobe::testsupport::ZipWriterEntry;

ZipWriterEntry Entry(std::string name, std::string data, bool deflate = true) {
  ZipWriterEntry entry;
  entry.name = std::move(name);
  entry.data = std::move(data);
  entry.deflate = deflate;
  return entry;
}

std::u16string Wide(const fs::path& path) { return Utf8ToUtf16(path.string()); }

// Extraction tests run with an empty current directory of their own, where
// entries extracted under their own names land.
class ZipFileEntryTest : public ::testing::Test {
 protected:
  ZipFileEntryTest() : previous_(fs::current_path()) {
    fs::create_directory(scratch_ / "cwd");
    fs::current_path(scratch_ / "cwd");
  }
  ~ZipFileEntryTest() override { fs::current_path(previous_); }

  // Opens an archive of the entries after a small stub.
  void OpenArchive(const std::vector<ZipWriterEntry>& entries) {
    archive_.Close();  // an open archive keeps its file from being rewritten on Windows
    WriteFile(scratch_ / "component.exe", BuildArchive(entries, "MZ-stub"));
    ASSERT_EQ(archive_.Open(Wide(scratch_ / "component.exe"), true), ZIP_OK);
  }
  ZIP_FileEntry* Find(const std::u16string& name) {
    ZIP_FileEntry* entry = archive_.FindEntry(name);
    EXPECT_NE(entry, nullptr);
    return entry;
  }
  std::vector<std::string> Written() { return ListTree(scratch_ / "cwd"); }

  ScratchDir scratch_;
  fs::path previous_;
  ZIP_File archive_;
};

TEST_F(ZipFileEntryTest, StoredAndDeflatedEntriesExtractByteExact) {
  const std::string program = ProgramLikeBytes(300000, 7);
  OpenArchive({Entry("Comp.xml", "<vek_package/>", false), Entry("veksetup.exe", program),
               Entry("big.bin", program, false), Entry("empty", "", false),
               Entry("empty.z", "")});
  EXPECT_EQ(Find(u"comp.XML")->Extract(nullptr, false), ZIP_OK);
  EXPECT_EQ(Find(u"veksetup.exe")->Extract(nullptr, false), ZIP_OK);
  const std::u16string out = Wide(scratch_ / "copy.bin");
  EXPECT_EQ(Find(u"big.bin")->Extract(&out, true), ZIP_OK);
  EXPECT_EQ(Find(u"empty")->Extract(nullptr, false), ZIP_OK);
  EXPECT_EQ(Find(u"empty.z")->Extract(nullptr, false), ZIP_OK);
  EXPECT_EQ(ReadFile("Comp.xml"), "<vek_package/>");
  EXPECT_EQ(ReadFile("veksetup.exe"), program);
  EXPECT_EQ(ReadFile(scratch_ / "copy.bin"), program);
  EXPECT_TRUE(fs::exists("empty"));
  EXPECT_EQ(fs::file_size("empty"), 0u);
  EXPECT_EQ(fs::file_size("empty.z"), 0u);
}

TEST_F(ZipFileEntryTest, ExtractedFileGetsTheEntryTimeAsLocalTime) {
  ZipWriterEntry dated = Entry("dated.txt", "x");
  dated.dosDate = DosDate(2019, 7, 4);
  dated.dosTime = DosTime(13, 45, 31);  // stored with two-second resolution: 13:45:30
  ZipWriterEntry invalid = Entry("invalid.txt", "y");
  invalid.dosDate = DosDate(2019, 2, 30);
  OpenArchive({dated, invalid});
  const std::time_t before = std::time(nullptr);
  ASSERT_EQ(Find(u"dated.txt")->Extract(nullptr, false), ZIP_OK);
  ASSERT_EQ(Find(u"invalid.txt")->Extract(nullptr, false), ZIP_OK);

  std::tm local{};
  local.tm_year = 2019 - 1900;
  local.tm_mon = 6;
  local.tm_mday = 4;
  local.tm_hour = 13;
  local.tm_min = 45;
  local.tm_sec = 30;
  local.tm_isdst = -1;
  struct stat status;
  ASSERT_EQ(::stat("dated.txt", &status), 0);
  EXPECT_EQ(status.st_mtime, std::mktime(&local));
  EXPECT_GE(status.st_atime, before - 1);  // access time kept: not the entry's
  // A date that cannot be converted leaves the file's own times.
  ASSERT_EQ(::stat("invalid.txt", &status), 0);
  EXPECT_GE(status.st_mtime, before - 1);
}

TEST_F(ZipFileEntryTest, ExistingFilesAreReplacedUnlessRefused) {
  OpenArchive({Entry("setup.exe", "new content")});
  WriteFile("setup.exe", "old content that is longer");
  EXPECT_EQ(Find(u"setup.exe")->Extract(nullptr, true), ZIP_ERR_CREATE);
  EXPECT_EQ(ReadFile("setup.exe"), "old content that is longer");
  EXPECT_EQ(Find(u"setup.exe")->Extract(nullptr, false), ZIP_OK);
  EXPECT_EQ(ReadFile("setup.exe"), "new content");

  // A read-only file is not replaced, even by the superuser.
  fs::permissions("setup.exe", fs::perms::owner_read | fs::perms::group_read);
  EXPECT_EQ(Find(u"setup.exe")->Extract(nullptr, false), ZIP_ERR_CREATE);
  EXPECT_EQ(ReadFile("setup.exe"), "new content");
  // Nor is a directory.
  fs::create_directory("dir.exe");
  const std::u16string target = u"dir.exe";
  EXPECT_EQ(Find(u"setup.exe")->Extract(&target, false), ZIP_ERR_CREATE);
}

TEST_F(ZipFileEntryTest, ReadOnlyAttributeRemovesWritePermission) {
  ZipWriterEntry readOnly = Entry("ro.txt", "r");
  readOnly.externalAttributes = 0x21;  // read-only, archive
  ZipWriterEntry hidden = Entry("hidden.txt", "h");
  hidden.externalAttributes = 0x81A40006;  // hidden, system; a Unix mode above them
  OpenArchive({readOnly, hidden});
  ASSERT_EQ(Find(u"ro.txt")->Extract(nullptr, false), ZIP_OK);
  ASSERT_EQ(Find(u"hidden.txt")->Extract(nullptr, false), ZIP_OK);
  const fs::perms write = fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write;
  EXPECT_EQ(fs::status("ro.txt").permissions() & write, fs::perms::none);
  EXPECT_NE(fs::status("ro.txt").permissions() & fs::perms::owner_read, fs::perms::none);
  EXPECT_NE(fs::status("hidden.txt").permissions() & fs::perms::owner_write, fs::perms::none);
  // Extracting it again fails: it is read-only now.
  EXPECT_EQ(Find(u"ro.txt")->Extract(nullptr, false), ZIP_ERR_CREATE);
}

TEST_F(ZipFileEntryTest, DirectoryEntriesAreRecognisedByTheirLastCharacter) {
  ZipWriterEntry slash = Entry("dir/", "data", false);  // a directory even with data
  ZipWriterEntry backslashEmpty = Entry("win\\", "", false);
  ZipWriterEntry backslashData = Entry("data\\", "d", false);
  ZipWriterEntry backslashDeflated = Entry("deflated\\", "");  // two bytes of deflate data
  OpenArchive({slash, backslashEmpty, backslashData, backslashDeflated, Entry("file", "f")});
  ZIP_FileEntry* dir = Find(u"dir/");
  EXPECT_TRUE(dir->IsDirectory());
  EXPECT_TRUE(Find(u"win\\")->IsDirectory());
  EXPECT_FALSE(Find(u"data\\")->IsDirectory());
  EXPECT_FALSE(Find(u"deflated\\")->IsDirectory());
  EXPECT_FALSE(Find(u"file")->IsDirectory());
  ZIP_FileEntry nameless;
  EXPECT_FALSE(nameless.IsDirectory());

  // Directory entries give ZIP_ERR_PARAM: with an output path, and without
  // one because a relative name cannot be created as a rooted path.
  const std::u16string target = Wide(scratch_ / "out");
  EXPECT_EQ(dir->Extract(&target, false), ZIP_ERR_PARAM);
  EXPECT_EQ(dir->Extract(nullptr, false), ZIP_ERR_PARAM);
  EXPECT_EQ(Find(u"win\\")->Extract(nullptr, false), ZIP_ERR_PARAM);
  EXPECT_TRUE(Written().empty());
}

TEST_F(ZipFileEntryTest, NamesThatLeaveTheCurrentDirectoryAreRefused) {
  const std::string outside = (scratch_ / "escaped").string();
  const std::vector<std::string> names = {
      outside,        "/escaped",       "\\escaped",    "C:escaped", "c:\\escaped", "C:",
      "../escaped",   "a/../../escaped", "a\\..\\..\\x", "..",        "sub/..",
      outside + "/"};
  std::vector<ZipWriterEntry> entries;
  for (const std::string& name : names) entries.push_back(Entry(name, "bad"));
  OpenArchive(entries);
  for (ZIP_FileEntry* entry : archive_.Entries()) {
    EXPECT_EQ(entry->Extract(nullptr, false), ZIP_ERR_PARAM) << entry->Name();
  }
  EXPECT_TRUE(Written().empty());
  EXPECT_FALSE(fs::exists(scratch_ / "escaped"));
  // Dots that are no ".." level are ordinary names.
  OpenArchive({Entry("..data", "1"), Entry("a..b", "2"), Entry("...", "3")});
  const std::vector<ZIP_FileEntry*> dotted = archive_.Entries();
  EXPECT_EQ(dotted[0]->Extract(nullptr, false), ZIP_OK);
  EXPECT_EQ(dotted[1]->Extract(nullptr, false), ZIP_OK);
#ifdef _WIN32
  // Windows drops the trailing dots of a name: "..." names the directory
  // itself, which cannot be created as a file.
  EXPECT_EQ(dotted[2]->Extract(nullptr, false), ZIP_ERR_CREATE);
  EXPECT_EQ(Written(), (std::vector<std::string>{"..data", "a..b"}));
#else
  EXPECT_EQ(dotted[2]->Extract(nullptr, false), ZIP_OK);
  EXPECT_EQ(Written(), (std::vector<std::string>{"...", "..data", "a..b"}));
#endif
}

TEST_F(ZipFileEntryTest, NamesThatCannotBeConvertedAreRefused) {
  // 0xFF starts no character in UTF-8 nor in code page 932; single-byte
  // code pages such as 1252 hold a character for every byte.
  const bool convertible = packprobe::platform::NarrowNameToWide("bad\xFF.txt").has_value();
  OpenArchive({Entry("bad\xFF.txt", "x"), Entry("", "nameless")});
  const std::vector<ZIP_FileEntry*> entries = archive_.Entries();
  if (!convertible) {
    EXPECT_EQ(entries[0]->Extract(nullptr, false), ZIP_ERR_PARAM);
  }
  EXPECT_EQ(entries[1]->Extract(nullptr, false), ZIP_ERR_CREATE);  // no name, no file
  EXPECT_TRUE(Written().empty());
  const std::u16string target = u"named.txt";
  EXPECT_EQ(entries[0]->Extract(&target, false), ZIP_OK);
  EXPECT_EQ(ReadFile("named.txt"), "x");
}

TEST_F(ZipFileEntryTest, TargetDirectoriesAreCreatedOnlyForRootedPaths) {
  OpenArchive({Entry("sub/file.txt", "in sub"), Entry("sub\\win.txt", "backslash")});
  // Relative: written only where the directory exists.
  EXPECT_EQ(Find(u"sub/file.txt")->Extract(nullptr, false), ZIP_ERR_CREATE);
  EXPECT_TRUE(Written().empty());
  fs::create_directory("sub");
  EXPECT_EQ(Find(u"sub/file.txt")->Extract(nullptr, false), ZIP_OK);
  EXPECT_EQ(Find(u"sub\\win.txt")->Extract(nullptr, false), ZIP_OK);
  EXPECT_EQ(Written(), (std::vector<std::string>{"sub/", "sub/file.txt", "sub/win.txt"}));

  // Rooted: every missing level is made.
  const std::u16string deep = Wide(scratch_ / "a") + u"/b/c/out.txt";
  EXPECT_EQ(Find(u"sub/file.txt")->Extract(&deep, false), ZIP_OK);
  EXPECT_EQ(ReadFile(scratch_ / "a/b/c/out.txt"), "in sub");

  // A directory part (after the drive, up to the last separator) of 255
  // characters is made; a longer one is not, and creating the file then
  // decides.
  const std::u16string base = Wide(scratch_.path()) + u"/";
  const std::size_t drive = base[1] == u':' ? 2 : 0;
  for (const std::size_t length : {255u, 256u}) {
    const std::u16string target =
        base + std::u16string(length + drive - base.size() - 1, u'd') + u"/out.txt";
    EXPECT_EQ(Find(u"sub/file.txt")->Extract(&target, false),
              length == 255 ? ZIP_OK : ZIP_ERR_CREATE)
        << length;
  }
}

TEST_F(ZipFileEntryTest, CreateDirectoryPathMakesEachLevel) {
  const std::u16string root = Wide(scratch_.path());
  // The system's separators divide levels: '\\' is one on Windows only.
  const std::u16string back = packprobe::platform::IsPathSeparator(u'\\') ? u"\\" : u"/";
  EXPECT_TRUE(CreateDirectoryPath(root + u"/x" + back + u"y/z"));
  EXPECT_TRUE(fs::is_directory(scratch_ / "x/y/z"));
  EXPECT_TRUE(CreateDirectoryPath(root + u"/x/y/z/"));  // exists already
  EXPECT_TRUE(CreateDirectoryPath(root + u"/x//w" + back + back + u"v"));
  EXPECT_TRUE(fs::is_directory(scratch_ / "x/w/v"));
  EXPECT_FALSE(CreateDirectoryPath(u"relative/dir"));
  EXPECT_FALSE(CreateDirectoryPath(u""));
  EXPECT_FALSE(fs::exists("relative"));

  // A file in the way of a level.
  WriteFile(scratch_ / "file", "f");
  EXPECT_TRUE(CreateDirectoryPath(root + u"/file"));  // "already exists", as the system says
  EXPECT_FALSE(CreateDirectoryPath(root + u"/file/below"));

  // The level-by-level buffer holds 260 characters with the added separator
  // and terminator: a path of 258 characters fits, a longer one is refused,
  // not overrun.
  std::u16string levels = root;
  while (levels.size() < 240) levels += u"/l";
  for (const std::size_t length : {258u, 259u}) {
    const std::u16string path =
        levels + u"/" + std::u16string(length - levels.size() - 3, u'x') + u"/q";
    EXPECT_EQ(CreateDirectoryPath(path), length == 258) << length;
    EXPECT_EQ(fs::exists(packprobe::Utf16ToUtf8(path)), length == 258) << length;
  }
  // Beyond the system's own limit for one name: a failure, not "created".
  EXPECT_FALSE(CreateDirectoryPath(root + u"/" + std::u16string(300, u'n')));
}

TEST_F(ZipFileEntryTest, UnsupportedMethodLeavesAnEmptyFile) {
  ZipWriterEntry entry = Entry("m12.bin", "compressed with something else");
  entry.editBoth = [](ZipHeaderFields& f) { f.method = 12; };
  OpenArchive({entry});
  EXPECT_EQ(Find(u"m12.bin")->Extract(nullptr, false), ZIP_ERR_BAD_FORMAT);
  EXPECT_EQ(Find(u"m12.bin")->lastFailure().code, "unsupported-method");
  EXPECT_TRUE(fs::exists("m12.bin"));
  EXPECT_EQ(fs::file_size("m12.bin"), 0u);
}

TEST_F(ZipFileEntryTest, CrcMismatchIsReportedAfterAllBytes) {
  ZipWriterEntry deflated = Entry("d.bin", ProgramLikeBytes(50000));
  deflated.editBoth = [](ZipHeaderFields& f) { f.crc ^= 1; };
  ZipWriterEntry stored = Entry("s.bin", "stored", false);
  stored.editBoth = [](ZipHeaderFields& f) { f.crc = 0; };
  OpenArchive({deflated, stored});
  EXPECT_EQ(Find(u"d.bin")->Extract(nullptr, false), ZIP_ERR_CRC);
  EXPECT_EQ(ReadFile("d.bin"), deflated.data);  // left on disk with what was written
  EXPECT_EQ(Find(u"s.bin")->Extract(nullptr, false), ZIP_ERR_CRC);
  EXPECT_EQ(Find(u"s.bin")->lastFailure().code, "crc-mismatch");
  char expected[100];
  std::snprintf(expected, sizeof expected,
                "entry \"s.bin\": the data's CRC-32 is 0x%08X where the headers say 0x00000000",
                Crc32("stored"));
  EXPECT_EQ(Find(u"s.bin")->lastFailure().detail, expected);
}

TEST_F(ZipFileEntryTest, DataThatEndsEarlyGivesEndOfData) {
  // A deflated stream that ends before the declared size: the bytes it had
  // are written, then the read after them reports the end.
  const std::string data = ProgramLikeBytes(40000, 3);
  ZipWriterEntry deflated = Entry("short.z", data);
  deflated.editBoth = [](ZipHeaderFields& f) { f.uncompressedSize += 100; };
  // Stored data shorter than the declared size: the copy must end.
  ZipWriterEntry stored = Entry("short.s", "0123456789", false);
  stored.editBoth = [](ZipHeaderFields& f) { f.uncompressedSize = 20000; };
  ZipWriterEntry storedNothing = Entry("none.s", "", false);
  storedNothing.editBoth = [](ZipHeaderFields& f) { f.uncompressedSize = 5; };
  // A deflated stream cut short: inflate runs out of input.
  ZipWriterEntry cut = Entry("cut.z", data);
  cut.rawData = packprobe::testsupport::RawDeflate(data).substr(0, 1000);
  OpenArchive({deflated, stored, storedNothing, cut});
  EXPECT_EQ(Find(u"short.z")->Extract(nullptr, false), ZIP_ERR_END_OF_DATA);
  EXPECT_EQ(Find(u"short.z")->lastFailure().code, "data-ends-early");
  EXPECT_EQ(ReadFile("short.z"), data);
  EXPECT_EQ(Find(u"short.s")->Extract(nullptr, false), ZIP_ERR_END_OF_DATA);
  EXPECT_EQ(ReadFile("short.s"), "0123456789");
  EXPECT_EQ(Find(u"none.s")->Extract(nullptr, false), ZIP_ERR_END_OF_DATA);
  EXPECT_EQ(Find(u"cut.z")->Extract(nullptr, false), ZIP_ERR_END_OF_DATA);
  EXPECT_EQ(data.substr(0, ReadFile("cut.z").size()), ReadFile("cut.z"));
}

TEST_F(ZipFileEntryTest, CorruptDeflateDataIsBadFormat) {
  ZipWriterEntry entry = Entry("bad.z", "whatever");
  entry.rawData = std::string("\xFF\xFF\xFF\xFF\xFF\xFF", 6);  // an invalid block type
  // Damaged streams whose Huffman code sets are incomplete (literal/length,
  // then distance): refused as corrupt whatever the inflate backend, where
  // a decoder that accepts such sets would report the data ending early or
  // a wrong CRC-32.
  ZipWriterEntry lengths = Entry("lengths.z", std::string(100, 'x'));
  lengths.rawData = std::string(
      "\x05\xC1\xD1\x09\x80\x40\x08\x00\x50\x97\x10\x18\xA1\xFF\xB6\xF1\x4F\x0E\xC1\xC2\x42"
      "\x30\xE1\x36\x70\x0C\x77\x6A\xA0\xEA\x3D\xCF\xD0\xC1\x66\x58\x9E\xA1\x4D\x58\x9E\xA1"
      "\x4D\xC2\x13\xA0\x09\xCB\x33\xB6\x49\x78\x02\xEC\xD7\xBD\x7D\xEF\x6A\xC2\xC2\xF3\x38"
      "\x7D\x79\x32\x74\xB0\x19\x96\x67\x68\x13\x96\x67\x68\x93\xF0\x04\x68\xC2\xF2\x0C\x6D"
      "\xFA\x01",
      86);
  lengths.editBoth = [](ZipHeaderFields& f) { f.crc = 0x90A62071; };
  ZipWriterEntry distances = Entry("distances.z", std::string(100, 'x'));
  distances.rawData = std::string(
      "\x05\xC1\xC1\x0D\x83\x40\x0C\x04\xC0\x8E\xFC\xD9\x56\x68\xC0\x8A\xEE\xB1\xE8\xBC\x87"
      "\xD0\x0A\xB9\x26\xCA\xA0\x21\x3A\x48\x72\x33\xB2\x83\x32\x28\xA3\x83\x32\x28\x83\xF2"
      "\x76\x0E\xD7\xBA\xEE\x39\x32\x3B\x28\x83\x32\x3A\x29\xEF\x75\xA0\x83\xF2\x5E\xC7\x3B"
      "\xB2\x7F\xDF\x4F\xCE\x69\x50\x06\xE5\xED\x1C\xAE\xF5\xD4\xBA\x28\x83\xF2\x1F",
      82);
  distances.editBoth = [](ZipHeaderFields& f) { f.crc = 0xA19B3497; };
  // A stream whose data ends inside a block, and one cut after its first
  // bytes: both run out of data, whichever engine reads them.
  ZipWriterEntry cut = Entry("cut.z", ProgramLikeBytes(20000, 7));
  cut.rawData = RawDeflate(cut.data).substr(0, 3000);
  OpenArchive({entry, lengths, distances, cut});
  struct Expected {
    const char16_t* name;
    int result;
  } table[] = {{u"bad.z", ZIP_ERR_BAD_FORMAT},
               {u"lengths.z", ZIP_ERR_BAD_FORMAT},
               {u"distances.z", ZIP_ERR_BAD_FORMAT},
               {u"cut.z", ZIP_ERR_END_OF_DATA}};
  for (const Expected& e : table) {
    SCOPED_TRACE(Utf16ToUtf8(e.name));
    ZIP_FileEntry* entry = Find(e.name);
    EXPECT_EQ(entry->Extract(nullptr, false), e.result);
    // Every read path gives the same outcome: the copy to an open file,
    // and a streaming read in small pieces.
    File out;
    ASSERT_TRUE(out.Create(u"copy.bin", File::Creation::kReplace));
    EXPECT_EQ(entry->CopyTo(out), e.result);
    ZIP_ReadState state;
    ASSERT_EQ(entry->BeginRead(&state), ZIP_OK);
    char piece[100];
    std::uint32_t produced = 0;
    int result;
    while ((result = entry->Read(piece, sizeof piece, &state, &produced)) == ZIP_OK &&
           produced > 0) {
    }
    const int ended = entry->EndRead(&state);
    EXPECT_EQ(result != ZIP_OK ? result : ended, e.result);
    if (e.result == ZIP_ERR_BAD_FORMAT) {
      EXPECT_EQ(entry->lastFailure().code, "deflate-corrupt");
    }
  }
}

// The data is read in pieces of 16,384 bytes, each read whole when its first
// byte is needed: a piece that runs past the end of the file fails the read,
// even when the bytes needed end before it does (a stored entry whose
// compressed size exceeds its size). The entry is the archive's last, so 69
// bytes (its central header and the end record) follow its data.
TEST_F(ZipFileEntryTest, DataIsReadInWholePiecesOf16KiB) {
  const std::string big = ProgramLikeBytes(16484, 4);
  const std::string program = ProgramLikeBytes(40000, 6);
  const std::uint32_t deflatedSize = static_cast<std::uint32_t>(RawDeflate(program).size());
  struct Case {
    std::string data;
    bool deflate;
    std::uint32_t compressedSize;  // 0: as written
    int expected;
  } cases[] = {
      {"abc", false, 3 + 69, ZIP_OK},  // the piece ends with the file
      {"abc", false, 3 + 70, ZIP_ERR_FAILED},
      {"abc", false, 1000000, ZIP_ERR_FAILED},
      {big, false, 16484 + 69, ZIP_OK},
      {big, false, 2 * 16384, ZIP_ERR_FAILED},  // the second piece runs past the end
      {program, true, deflatedSize + 69, ZIP_OK},
      {program, true, deflatedSize + 70, ZIP_ERR_FAILED},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.data.size() << " bytes, compressed " << c.compressedSize);
    ZipWriterEntry entry = Entry("e", c.data, c.deflate);
    const std::uint32_t compressedSize = c.compressedSize;
    entry.editBoth = [compressedSize](ZipHeaderFields& f) { f.compressedSize = compressedSize; };
    OpenArchive({entry});
    EXPECT_EQ(Find(u"e")->Extract(nullptr, false), c.expected);
    if (c.expected == ZIP_OK) {
      EXPECT_EQ(ReadFile("e"), c.data);
    } else {
      EXPECT_EQ(Find(u"e")->lastFailure().code, "read-failed");
      // An archive shorter than its directory says is the file's fault.
      EXPECT_EQ(Find(u"e")->lastFailure().hostFault, packprobe::platform::HostFault::kNone);
    }
  }
}

// The end of a deflated stream is not awaited: an entry that declares a
// prefix of its stream (that prefix's size and CRC-32) gives the declared
// bytes and nothing more; the CRC-32 of those bytes decides.
TEST_F(ZipFileEntryTest, DeclaredPrefixOfALongerStreamIsExtracted) {
  const std::string data = ProgramLikeBytes(40000, 2);
  const std::string prefix = data.substr(0, 230);
  ZipWriterEntry entry = Entry("more.z", data);
  entry.editBoth = [&](ZipHeaderFields& f) {
    f.uncompressedSize = 230;
    f.crc = Crc32(prefix);
  };
  ZipWriterEntry wrongCrc = Entry("whole-crc.z", data);
  wrongCrc.editBoth = [](ZipHeaderFields& f) { f.uncompressedSize = 230; };
  OpenArchive({entry, wrongCrc});
  EXPECT_EQ(Find(u"more.z")->Extract(nullptr, false), ZIP_OK);
  EXPECT_EQ(ReadFile("more.z"), prefix);
  EXPECT_EQ(Find(u"whole-crc.z")->Extract(nullptr, false), ZIP_ERR_CRC);
  EXPECT_EQ(fs::file_size("whole-crc.z"), 230u);
}

TEST_F(ZipFileEntryTest, DataBeyondTheReachablePositionsFails) {
  OpenArchive({Entry("a", "1")});
  ZIP_FileEntry entry;
  entry.name.reset(new char[2]{'e', '\0'});
  entry.archiveFile = Find(u"a")->archiveFile;
  entry.compressedSize = entry.uncompressedSize = 100;
  entry.dataOffset = 0x80000000u;
  ZIP_ReadState state;
  EXPECT_EQ(entry.BeginRead(&state), ZIP_ERR_SEEK);
  EXPECT_EQ(entry.Extract(nullptr, false), ZIP_ERR_SEEK);
  EXPECT_EQ(fs::file_size("e"), 0u);

  // The start can be set, but reading runs into the limit.
  entry.dataOffset = 0x7FFFFFF0u;
  entry.compressedSize = entry.uncompressedSize = 0x20000;
  EXPECT_EQ(entry.Extract(nullptr, false), ZIP_ERR_FAILED);

  ZIP_FileEntry detached;  // belongs to no archive
  EXPECT_EQ(detached.BeginRead(&state), ZIP_ERR_SEEK);
}

TEST_F(ZipFileEntryTest, StreamingReadInSmallPieces) {
  const std::string data = ProgramLikeBytes(70000, 5);
  OpenArchive({Entry("d", data), Entry("s", data, false)});
  for (const char16_t* name : {u"d", u"s"}) {
    ZIP_FileEntry* entry = Find(name);
    ZIP_ReadState state;
    ASSERT_EQ(entry->BeginRead(&state), ZIP_OK);
    std::string out;
    char piece[777];
    std::uint32_t produced = 0;
    int result;
    while ((result = entry->Read(piece, sizeof piece, &state, &produced)) == ZIP_OK &&
           produced > 0) {
      out.append(piece, produced);
    }
    EXPECT_EQ(result, ZIP_OK);
    EXPECT_EQ(entry->Read(piece, sizeof piece, &state, nullptr), ZIP_OK);  // count optional
    EXPECT_EQ(entry->EndRead(&state), ZIP_OK);
    EXPECT_EQ(out, data);
    // After EndRead the state holds nothing to read from.
    EXPECT_EQ(entry->Read(piece, sizeof piece, &state, &produced), ZIP_ERR_PARAM);
    // A read that stops early gets no CRC-32 comparison.
    ASSERT_EQ(entry->BeginRead(&state), ZIP_OK);
    ASSERT_EQ(entry->Read(piece, sizeof piece, &state, &produced), ZIP_OK);
    EXPECT_EQ(entry->EndRead(&state), ZIP_OK);
  }
}

TEST_F(ZipFileEntryTest, InvalidArgumentsGiveParam) {
  OpenArchive({Entry("d", "data")});
  ZIP_FileEntry* entry = Find(u"d");
  ZIP_ReadState state;
  char buffer[16];
  EXPECT_EQ(entry->BeginRead(nullptr), ZIP_ERR_PARAM);
  EXPECT_EQ(entry->EndRead(nullptr), ZIP_ERR_PARAM);
  EXPECT_EQ(entry->Read(buffer, sizeof buffer, &state, nullptr), ZIP_ERR_PARAM);  // not begun
  ASSERT_EQ(entry->BeginRead(&state), ZIP_OK);
  EXPECT_EQ(entry->Read(nullptr, 16, &state, nullptr), ZIP_ERR_PARAM);
  EXPECT_EQ(entry->Read(buffer, 0, &state, nullptr), ZIP_ERR_PARAM);
  EXPECT_EQ(entry->Read(buffer, sizeof buffer, nullptr, nullptr), ZIP_ERR_PARAM);
  // A begun state may be begun again; the former read is released.
  ASSERT_EQ(entry->BeginRead(&state), ZIP_OK);
  std::uint32_t produced = 0;
  EXPECT_EQ(entry->Read(buffer, sizeof buffer, &state, &produced), ZIP_OK);
  EXPECT_EQ(std::string(buffer, produced), "data");
  EXPECT_EQ(entry->EndRead(&state), ZIP_OK);
}

TEST_F(ZipFileEntryTest, FailedWriteEndsTheCopy) {
#ifdef _WIN32
  GTEST_SKIP() << "no file-size limit to set";
#else
  // A file-size limit makes the write fail as a full disk would (with
  // SIGXFSZ ignored, as the program ignores it).
  OpenArchive({Entry("d", ProgramLikeBytes(100000))});
  File full;
  ASSERT_TRUE(full.Create(u"full.bin", File::Creation::kReplace));
  struct sigaction ignore {}, previous {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGXFSZ, &ignore, &previous);
  rlimit limit{}, saved{};
  getrlimit(RLIMIT_FSIZE, &saved);
  limit = saved;
  limit.rlim_cur = 4096;
  setrlimit(RLIMIT_FSIZE, &limit);
  const int result = Find(u"d")->CopyTo(full);
  setrlimit(RLIMIT_FSIZE, &saved);
  sigaction(SIGXFSZ, &previous, nullptr);
  EXPECT_EQ(result, ZIP_ERR_CREATE);
  EXPECT_EQ(Find(u"d")->lastFailure().hostFault, packprobe::platform::HostFault::kNoSpace);
#endif
}

// Swept over every allocation of an extraction: each failure ends it with
// the out-of-memory code (or, where the inflate state cannot be set up, the
// code of a decoder that fails to initialise), says so, and leaks nothing;
// once nothing is refused the file is right.
TEST_F(ZipFileEntryTest, EveryAllocationFailureIsReported) {
  OpenArchive({Entry("d.bin", ProgramLikeBytes(50000)), Entry("s.bin", "stored", false)});
  for (const char16_t* name : {u"d.bin", u"s.bin"}) {
    ZIP_FileEntry* entry = Find(name);
    for (int successes = 0;; ++successes) {
      packprobe::platform::SimulatedHeapExhaustion exhaustion(successes);
      const int result = entry->Extract(nullptr, false);
      if (exhaustion.refused() == 0) {
        EXPECT_EQ(result, ZIP_OK);
        break;
      }
      EXPECT_TRUE(result == ZIP_ERR_NO_MEMORY || result == ZIP_ERR_FAILED) << result;
      EXPECT_EQ(entry->lastFailure().code, "no-memory") << "after " << successes;
      EXPECT_EQ(entry->lastFailure().hostFault, packprobe::platform::HostFault::kNoMemory);
    }
  }
  EXPECT_EQ(ReadFile("d.bin"), ProgramLikeBytes(50000));
  EXPECT_EQ(ReadFile("s.bin"), "stored");
}

// Hostile input of two kinds: every truncation and every single-byte
// corruption of a small component. Nothing may crash, hang or write outside
// the current directory.
TEST_F(ZipFileEntryTest, DamagedArchivesExtractSafely) {
  ZipWriterEntry setup = Entry("veksetup.exe", ProgramLikeBytes(3000, 9));
  ZipWriterEntry dir = Entry("d/", "", false);
  const std::string bytes =
      BuildArchive({Entry("a.xml", "<vek_package/>", false), setup, dir}, "MZ");
  const auto extractAll = [&](const std::string& damaged) {
    WriteFile(scratch_ / "damaged.exe", damaged);
    ZIP_File archive;
    if (archive.Open(Wide(scratch_ / "damaged.exe"), true) != ZIP_OK) return;
    for (ZIP_FileEntry* entry : archive.Entries()) {
      const int result = entry->Extract(nullptr, false);
      EXPECT_TRUE(result <= ZIP_OK && result >= ZIP_ERR_OPEN);
    }
  };
  for (std::size_t length = 0; length <= bytes.size(); length += 7) {
    extractAll(bytes.substr(0, length));
  }
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    std::string damaged = bytes;
    damaged[i] = static_cast<char>(damaged[i] ^ 0x5A);
    extractAll(damaged);
  }
  for (const std::string& name : Written()) {
    EXPECT_TRUE(name == "a.xml" || name == "veksetup.exe") << name;
  }
}

}  // namespace
}  // namespace vekzip
