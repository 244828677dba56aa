#include "zip/zip_file.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "platform/file.h"
#include "platform/heap.h"
#include "util/text.h"
#include "tests/support/scratch_dir.h"
#include "tests/support/zip_writer.h"

namespace vekzip {
namespace {

using packprobe::Utf8ToUtf16;
using packprobe::testsupport::BuildArchive;
using packprobe::testsupport::DosDate;
using packprobe::testsupport::DosTime;
using packprobe::testsupport::ScratchDir;
using packprobe::testsupport::WriteFile;
using packprobe::testsupport::ZipArchiveOptions;
using packprobe::testsupport::ZipHeaderFields;
using packprobe::testsupport::ZipWriterEntry;

const std::string kStub = std::string("MZ\x90\0", 4) + std::string(2044, '\x11');

ZipWriterEntry Entry(std::string name, std::string data, bool deflate = true) {
  ZipWriterEntry entry;
  entry.name = std::move(name);
  entry.data = std::move(data);
  entry.deflate = deflate;
  return entry;
}

class ZipFileTest : public ::testing::Test {
 protected:
  // Writes bytes as a new file of the scratch directory and opens it. Each
  // call writes a file of its own: an archive still open keeps its file
  // from being rewritten on Windows.
  int OpenBytes(const std::string& bytes, ZIP_File& archive, bool readOnly = true) {
    const std::string name = "archive" + std::to_string(++written_) + ".zip";
    WriteFile(scratch_ / name, bytes);
    return archive.Open(Path(name), readOnly);
  }
  std::u16string Path(const std::string& name) { return Utf8ToUtf16((scratch_ / name).string()); }

  static void ExpectClosed(const ZIP_File& archive) {
    EXPECT_EQ(archive.GetEntryCount(), 0);
    EXPECT_EQ(archive.comment(), nullptr);
    EXPECT_FALSE(archive.hasLeadingData());
    EXPECT_EQ(archive.startOffset(), 0u);
    EXPECT_EQ(archive.centralDirOffset(), 0u);
    EXPECT_TRUE(archive.readOnly());
  }

  ScratchDir scratch_;
  int written_ = 0;
};

TEST_F(ZipFileTest, ComponentWithAdjustedOffsetsOpens) {
  ZipWriterEntry metadata = Entry("Comp.xml", "<vek_package/>", false);
  metadata.externalAttributes = 0x21;
  metadata.versionMadeBy = 0x031E;
  metadata.internalAttributes = 1;
  metadata.extra = std::string("\x55\x54\x05\x00\x01\x02\x03\x04\x05", 9);
  metadata.entryComment = "not kept";
  ZipWriterEntry setup = Entry("veksetup.exe", std::string(5000, 'x'));
  setup.dosDate = DosDate(2004, 2, 29);
  setup.dosTime = DosTime(23, 59, 58);
  ZipArchiveOptions options;
  options.comment = "component archive";
  const std::string bytes = BuildArchive({metadata, setup}, kStub, options);

  ZIP_File archive;
  ASSERT_EQ(OpenBytes(bytes, archive), ZIP_OK);
  EXPECT_EQ(archive.GetEntryCount(), 2);
  EXPECT_TRUE(archive.hasLeadingData());
  EXPECT_EQ(archive.startOffset(), kStub.size());
  EXPECT_STREQ(archive.comment(), "component archive");
  EXPECT_TRUE(archive.readOnly());

  const std::vector<ZIP_FileEntry*> entries = archive.Entries();
  ASSERT_EQ(entries.size(), 2u);
  const ZIP_FileEntry& first = *entries[0];
  EXPECT_STREQ(first.Name(), "Comp.xml");
  EXPECT_EQ(first.method, 0u);
  EXPECT_EQ(first.versionMadeBy, 0x031Eu);
  EXPECT_EQ(first.versionNeeded, 20u);
  EXPECT_EQ(first.internalAttributes, 1u);
  EXPECT_EQ(first.externalAttributes, 0x21u);
  EXPECT_EQ(first.crc, packprobe::testsupport::Crc32("<vek_package/>"));
  EXPECT_EQ(first.compressedSize, 14u);
  EXPECT_EQ(first.uncompressedSize, 14u);
  EXPECT_EQ(first.localHeaderOffset, kStub.size());
  EXPECT_EQ(first.dataOffset, kStub.size() + 30 + 8 + 9);
  EXPECT_STREQ(first.extraField.get(), "\x55\x54\x05");  // copied up to its first zero
  EXPECT_EQ(bytes.substr(first.dataOffset, 14), "<vek_package/>");
  const ZIP_FileEntry& second = *entries[1];
  EXPECT_EQ(second.method, 8u);
  EXPECT_EQ(second.modDate, DosDate(2004, 2, 29));
  EXPECT_EQ(second.modTime, DosTime(23, 59, 58));
  EXPECT_EQ(second.uncompressedSize, 5000u);
  EXPECT_EQ(second.extraField, nullptr);
  EXPECT_EQ(archive.centralDirOffset(), second.dataOffset + second.compressedSize);
  EXPECT_EQ(archive.FindEntry(u"veksetup.exe"), entries[1]);
}

TEST_F(ZipFileTest, FilesThatCannotBeOpenedGiveOpenError) {
  ZIP_File archive;
  EXPECT_EQ(archive.Open(Path("missing.zip"), true), ZIP_ERR_OPEN);
  EXPECT_EQ(archive.Open(Utf8ToUtf16(scratch_.path().string()), true), ZIP_ERR_OPEN);
  EXPECT_EQ(archive.Open(u"", true), ZIP_ERR_OPEN);
  ExpectClosed(archive);
}

TEST_F(ZipFileTest, EndRecordIsSearchedOnlyInTheLast65535Bytes) {
  ZIP_File archive;
  EXPECT_EQ(OpenBytes(kStub + std::string(100000, 'z'), archive), ZIP_ERR_FAILED);
  EXPECT_EQ(OpenBytes("", archive), ZIP_ERR_FAILED);
  EXPECT_EQ(OpenBytes("PK\x05\x06", archive), ZIP_ERR_FAILED);

  // A comment of 65,513 bytes puts the record's first byte exactly 65,535
  // bytes before the end; one more byte and it is out of reach.
  ZipArchiveOptions options;
  options.comment = std::string(65535 - 22, 'c');
  EXPECT_EQ(OpenBytes(BuildArchive({Entry("a", "1")}, kStub, options), archive), ZIP_OK);
  EXPECT_EQ(archive.GetEntryCount(), 1);
  options.trailer = "t";
  EXPECT_EQ(OpenBytes(BuildArchive({Entry("a", "1")}, kStub, options), archive), ZIP_ERR_FAILED);
  ExpectClosed(archive);

  // Windows overlap: a signature at every offset of the last 2,100 bytes.
  for (std::size_t tail = 22; tail < 2100; tail += 97) {
    options.trailer = std::string(tail - 22, 't');
    options.comment.clear();
    ASSERT_EQ(OpenBytes(BuildArchive({Entry("a", "1")}, kStub, options), archive), ZIP_OK)
        << "record " << tail << " bytes before the end";
  }
}

TEST_F(ZipFileTest, EndRecordAtTheFileStartCountsAsNotFound) {
  // Offset 0 is the search's "not found", so an archive without entries
  // whose record is the whole file does not open.
  ZIP_File archive;
  EXPECT_EQ(OpenBytes(BuildArchive({}), archive), ZIP_ERR_FAILED);
  EXPECT_EQ(OpenBytes(BuildArchive({}, "x"), archive), ZIP_OK);
  EXPECT_EQ(archive.GetEntryCount(), 0);
  EXPECT_EQ(archive.startOffset(), 1u);  // the central directory's offset, with no entries
  EXPECT_TRUE(archive.hasLeadingData());
}

TEST_F(ZipFileTest, UnadjustedSelfExtractorFailsAsBadFormat) {
  ZipArchiveOptions options;
  options.offsetsCountPrefix = false;
  ZIP_File archive;
  EXPECT_EQ(OpenBytes(BuildArchive({Entry("a.xml", "x")}, kStub, options), archive),
            ZIP_ERR_BAD_FORMAT);
  ExpectClosed(archive);
}

// Each failure of Open says why: a stable code, the offset concerned and a
// sentence; a later successful Open clears it.
TEST_F(ZipFileTest, FailuresExplainThemselves) {
  ZipArchiveOptions unadjusted;
  unadjusted.offsetsCountPrefix = false;
  ZipArchiveOptions spanning;
  spanning.thisDisk = 1;
  ZipArchiveOptions counts;
  counts.entriesOnDisk = 1;
  ZipWriterEntry streamed = Entry("s", "streamed");
  streamed.dataDescriptor = true;
  ZipWriterEntry nowhere = Entry("n", "1");
  nowhere.localHeaderOffset = 1;
  const std::vector<ZipWriterEntry> two = {Entry("a", "1"), Entry("b", "2")};
  const std::uint32_t cdUnadjusted = static_cast<std::uint32_t>(
      BuildArchive({Entry("a.xml", "x")}, "", unadjusted).size() - 22 - 51);
  struct Case {
    std::string bytes;
    int result;
    std::string code;
    std::optional<std::uint64_t> offset;
    std::string detailPart;
  } cases[] = {
      {kStub, ZIP_ERR_FAILED, "end-record-missing", std::nullopt, "no end record"},
      {BuildArchive({Entry("a.xml", "x")}, kStub, unadjusted), ZIP_ERR_BAD_FORMAT,
       "central-header-signature", cdUnadjusted, "appended without adjusting its offsets"},
      {BuildArchive(two, kStub, spanning), ZIP_ERR_BAD_FORMAT, "multi-disk", std::nullopt,
       "span disks"},
      {BuildArchive(two, kStub, counts), ZIP_ERR_BAD_FORMAT, "entry-count-mismatch",
       std::nullopt, "counts 1 entries"},
      {BuildArchive({streamed}, kStub), ZIP_ERR_BAD_FORMAT, "local-header-mismatch",
       kStub.size(), "data descriptors"},
      {BuildArchive({nowhere}, kStub), ZIP_ERR_BAD_FORMAT, "local-header-signature", 1,
       "\"n\""},
  };
  ZIP_File archive;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code);
    EXPECT_EQ(OpenBytes(c.bytes, archive), c.result);
    EXPECT_EQ(archive.lastFailure().result, c.result);
    EXPECT_EQ(archive.lastFailure().code, c.code);
    if (c.offset) {
      EXPECT_EQ(archive.lastFailure().offset, c.offset);
    }
    EXPECT_NE(archive.lastFailure().detail.find(c.detailPart), std::string::npos)
        << archive.lastFailure().detail;
  }
  EXPECT_EQ(archive.Open(Path("missing.zip"), true), ZIP_ERR_OPEN);
  EXPECT_EQ(archive.lastFailure().code, "open-failed");
  ASSERT_EQ(OpenBytes(BuildArchive(two, kStub), archive), ZIP_OK);
  EXPECT_EQ(archive.lastFailure().result, ZIP_OK);
  EXPECT_TRUE(archive.lastFailure().code.empty());
}

TEST_F(ZipFileTest, LastSignatureInRangeIsTakenForTheRecord) {
  // A record-like text in the comment, after the real record: its fields
  // decide. Here they name no central directory, so nothing is listed.
  const std::string fake = std::string("PK\x05\x06", 4) + std::string(18, '\0');
  ZipArchiveOptions options;
  options.comment = "xx" + fake;
  ZIP_File archive;
  ASSERT_EQ(OpenBytes(BuildArchive({Entry("a", "1")}, kStub, options), archive), ZIP_OK);
  EXPECT_EQ(archive.GetEntryCount(), 0);
  EXPECT_EQ(archive.centralDirOffset(), 0u);

  // A fake that claims a second disk is rejected.
  options.comment = "xx" + std::string("PK\x05\x06\x01", 5) + std::string(17, '\0');
  EXPECT_EQ(OpenBytes(BuildArchive({Entry("a", "1")}, kStub, options), archive),
            ZIP_ERR_BAD_FORMAT);
}

TEST_F(ZipFileTest, TruncatedEndRecordReadsMissingFieldsAsZero) {
  // Only the signature, this disk's number and one byte of the next field
  // are there: a field cut short reads as 0 even when the byte it has is
  // not, and so do the counts and offset, so the archive opens empty.
  ZIP_File archive;
  EXPECT_EQ(OpenBytes(kStub + std::string("PK\x05\x06\0\0\x01", 7), archive), ZIP_OK);
  EXPECT_EQ(archive.GetEntryCount(), 0);
  EXPECT_EQ(archive.comment(), nullptr);
  // Only the signature, in the last four bytes of the file.
  EXPECT_EQ(OpenBytes(kStub + "PK\x05\x06", archive), ZIP_OK);
}

TEST_F(ZipFileTest, SpanningAndCountMismatchAreRejected) {
  const std::vector<ZipWriterEntry> entries = {Entry("a", "1"), Entry("b", "2")};
  ZIP_File archive;
  ZipArchiveOptions options;
  options.entriesOnDisk = 1;
  EXPECT_EQ(OpenBytes(BuildArchive(entries, kStub, options), archive), ZIP_ERR_BAD_FORMAT);
  ExpectClosed(archive);

  options = {};
  options.thisDisk = 1;
  options.centralDirOffset = 0x80000000u;  // never used: the disk numbers decide first
  EXPECT_EQ(OpenBytes(BuildArchive(entries, kStub, options), archive), ZIP_ERR_BAD_FORMAT);
  options = {};
  options.centralDirDisk = 1;
  EXPECT_EQ(OpenBytes(BuildArchive(entries, kStub, options), archive), ZIP_ERR_BAD_FORMAT);

  // Fewer entries declared than written: only those are read.
  options = {};
  options.entriesOnDisk = options.totalEntries = 1;
  EXPECT_EQ(OpenBytes(BuildArchive(entries, kStub, options), archive), ZIP_OK);
  EXPECT_EQ(archive.GetEntryCount(), 1);
  // More declared than written: the next "header" is the end record.
  options.entriesOnDisk = options.totalEntries = 3;
  EXPECT_EQ(OpenBytes(BuildArchive(entries, kStub, options), archive), ZIP_ERR_BAD_FORMAT);
}

TEST_F(ZipFileTest, CentralDirectoryOffsetZeroOpensEmpty) {
  ZipArchiveOptions options;
  options.centralDirOffset = 0;
  ZIP_File archive;
  ASSERT_EQ(OpenBytes(BuildArchive({Entry("a", "1")}, kStub, options), archive), ZIP_OK);
  EXPECT_EQ(archive.GetEntryCount(), 0);
  EXPECT_EQ(archive.FindEntry(u"a"), nullptr);
}

TEST_F(ZipFileTest, MisplacedHeadersAreRejected) {
  ZIP_File archive;
  ZipArchiveOptions options;
  options.centralDirOffset = static_cast<std::uint32_t>(kStub.size());  // a local header
  EXPECT_EQ(OpenBytes(BuildArchive({Entry("a", "1")}, kStub, options), archive),
            ZIP_ERR_BAD_FORMAT);
  options.centralDirOffset = 4000000;  // past the end of the file
  EXPECT_EQ(OpenBytes(BuildArchive({Entry("a", "1")}, kStub, options), archive),
            ZIP_ERR_BAD_FORMAT);

  ZipWriterEntry entry = Entry("a", "1");
  entry.localHeaderOffset = 1;
  EXPECT_EQ(OpenBytes(BuildArchive({entry}, kStub), archive), ZIP_ERR_BAD_FORMAT);
  entry.localHeaderOffset = 9000000;
  EXPECT_EQ(OpenBytes(BuildArchive({entry}, kStub), archive), ZIP_ERR_BAD_FORMAT);
  ExpectClosed(archive);
}

TEST_F(ZipFileTest, PositionsFrom2GiBOnCannotBeSet) {
  ZIP_File archive;
  ZipArchiveOptions options;
  options.centralDirOffset = 0x80000000u;
  EXPECT_EQ(OpenBytes(BuildArchive({Entry("a", "1")}, kStub, options), archive), ZIP_ERR_SEEK);
  options.centralDirOffset = 0xFFFFFFFFu;
  EXPECT_EQ(OpenBytes(BuildArchive({Entry("a", "1")}, kStub, options), archive), ZIP_ERR_SEEK);

  ZipWriterEntry entry = Entry("a", "1");
  entry.localHeaderOffset = 0x80000000u;
  EXPECT_EQ(OpenBytes(BuildArchive({Entry("first", "ok"), entry}, kStub), archive), ZIP_ERR_SEEK);
  ExpectClosed(archive);
  entry.localHeaderOffset = 0x7FFFFFFFu;  // can be set, but holds nothing
  EXPECT_EQ(OpenBytes(BuildArchive({entry}, kStub), archive), ZIP_ERR_BAD_FORMAT);
}

TEST_F(ZipFileTest, LocalHeaderMustRepeatTheCentralHeader) {
  const std::vector<std::function<void(ZipHeaderFields&)>> edits = {
      [](ZipHeaderFields& f) { f.versionNeeded = 10; },
      [](ZipHeaderFields& f) { f.flags = 0x0800; },
      [](ZipHeaderFields& f) { f.method = 0; },
      [](ZipHeaderFields& f) { f.dosTime ^= 1; },
      [](ZipHeaderFields& f) { f.dosDate ^= 1; },
      [](ZipHeaderFields& f) { f.crc ^= 0x80000000u; },
      [](ZipHeaderFields& f) { f.compressedSize += 1; },
      [](ZipHeaderFields& f) { f.uncompressedSize -= 1; },
  };
  ZIP_File archive;
  for (std::size_t i = 0; i < edits.size(); ++i) {
    ZipWriterEntry entry = Entry("setup.exe", "some data to deflate");
    entry.editLocal = edits[i];
    EXPECT_EQ(OpenBytes(BuildArchive({Entry("first", "1"), entry}, kStub), archive),
              ZIP_ERR_BAD_FORMAT)
        << "local edit " << i;
    ExpectClosed(archive);
    entry.editLocal = nullptr;
    entry.editCentral = edits[i];
    EXPECT_EQ(OpenBytes(BuildArchive({entry}, kStub), archive), ZIP_ERR_BAD_FORMAT)
        << "central edit " << i;
  }

  ZipWriterEntry renamed = Entry("Setup.exe", "x");
  renamed.localName = "setup.exe";  // differs only in case
  EXPECT_EQ(OpenBytes(BuildArchive({renamed}, kStub), archive), ZIP_ERR_BAD_FORMAT);
  renamed.localName = "";
  EXPECT_EQ(OpenBytes(BuildArchive({renamed}, kStub), archive), ZIP_ERR_BAD_FORMAT);
}

TEST_F(ZipFileTest, DataDescriptorArchivesAreRefused) {
  ZipWriterEntry streamed = Entry("veksetup.exe", "streamed data");
  streamed.dataDescriptor = true;
  ZIP_File archive;
  EXPECT_EQ(OpenBytes(BuildArchive({streamed}, kStub), archive), ZIP_ERR_BAD_FORMAT);
  ExpectClosed(archive);
}

// A non-ASCII capital letter and its small form that the system's code page
// for entry names holds (UTF-8 on POSIX), and the capital's bytes there.
struct NonAsciiLetter {
  std::u16string upper, lower;
  std::string upperBytes;
};
NonAsciiLetter LetterOfTheCodePage() {
  for (const auto& [upper, lower] : {std::pair<std::u16string, std::u16string>{u"\u00C4", u"\u00E4"},
                                     {u"\u0391", u"\u03B1"}, {u"\u0414", u"\u0434"}}) {
    const auto upperBytes = packprobe::platform::WideNameToNarrow(upper);
    if (upperBytes && packprobe::platform::WideNameToNarrow(lower)) {
      return {upper, lower, *upperBytes};
    }
  }
  return {};
}

TEST_F(ZipFileTest, FindEntryFoldsOnlyAsciiLetters) {
  const NonAsciiLetter letter = LetterOfTheCodePage();
  ASSERT_FALSE(letter.upperBytes.empty());
  const std::string upperUmlaut = letter.upperBytes + ".txt";  // "Ä.txt" in UTF-8
  ZIP_File archive;
  ASSERT_EQ(OpenBytes(BuildArchive({Entry("Dir/Setup.EXE", "1"), Entry("dir/setup.exe", "2"),
                                    Entry(upperUmlaut, "3"), Entry("[x]", "4"),
                                    Entry("bad\xFF", "5"), Entry("Zip@", "6")},
                                   kStub),
                      archive),
            ZIP_OK);
  const std::vector<ZIP_FileEntry*> entries = archive.Entries();
  EXPECT_EQ(archive.FindEntry(u"dir/setup.exe"), entries[0]);  // the earlier of the two
  EXPECT_EQ(archive.FindEntry(u"DIR/SETUP.EXE"), entries[0]);
  EXPECT_EQ(archive.FindEntry(letter.upper + u".TXT"), entries[2]);
  EXPECT_EQ(archive.FindEntry(letter.lower + u".txt"), nullptr);  // non-ASCII letters are not folded
  EXPECT_EQ(archive.FindEntry(u"[X]"), entries[3]);
  EXPECT_EQ(archive.FindEntry(u"{x}"), nullptr);  // '[' and '{' differ by the case bit only
  EXPECT_EQ(archive.FindEntry(u"zIP@"), entries[5]);
  EXPECT_EQ(archive.FindEntry(u"zIP`"), nullptr);  // so do '@' and '`'
  EXPECT_EQ(archive.FindEntry(u"dir/setup.ex"), nullptr);
  EXPECT_EQ(archive.FindEntry(u"dir/setup.exe2"), nullptr);
  EXPECT_EQ(archive.FindEntry(u"dir\\setup.exe"), nullptr);
  EXPECT_EQ(archive.FindEntry(u"bad\uFFFD"), nullptr);  // an invalid name never matches
  EXPECT_EQ(archive.FindEntry(std::u16string(1, u'\xD800')), nullptr);  // cannot be converted
  EXPECT_EQ(archive.FindEntry(u""), nullptr);
}

TEST_F(ZipFileTest, NamesAreKeptUpToTheirFirstZeroByte) {
  ZIP_File archive;
  ASSERT_EQ(OpenBytes(BuildArchive({Entry(std::string("a\0b", 3), "1"),
                                    Entry(std::string("\0", 1), "2"), Entry("", "3")},
                                   kStub),
                      archive),
            ZIP_OK);
  const std::vector<ZIP_FileEntry*> entries = archive.Entries();
  EXPECT_EQ(archive.FindEntry(u"a"), entries[0]);
  EXPECT_EQ(entries[0]->dataOffset, entries[0]->localHeaderOffset + 30 + 3);
  EXPECT_STREQ(entries[1]->Name(), "");
  EXPECT_EQ(entries[2]->Name(), nullptr);
  EXPECT_EQ(archive.FindEntry(u""), entries[1]);  // the nameless entries[2] never matches
}

// Central headers that all name one local header get one copy of its extra
// field between them: directory memory does not grow with repeated copies.
TEST_F(ZipFileTest, EntriesOfOneLocalHeaderShareItsExtraField) {
  ZipWriterEntry entry = Entry("a", "1");
  entry.extra = std::string(65535, 'x');
  ZipWriterEntry again = entry;
  again.localHeaderOffset = static_cast<std::uint32_t>(kStub.size());
  ZIP_File archive;
  ASSERT_EQ(OpenBytes(BuildArchive({entry, again, again}, kStub), archive), ZIP_OK);
  const std::vector<ZIP_FileEntry*> all = archive.Entries();
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(std::strlen(all[0]->extraField.get()), 65535u);
  EXPECT_EQ(all[1]->extraField.get(), all[0]->extraField.get());
  EXPECT_EQ(all[2]->extraField.get(), all[0]->extraField.get());
}

TEST_F(ZipFileTest, OpenClosesTheArchiveOpenBefore) {
  ZIP_File archive;
  WriteFile(scratch_ / "one.zip", BuildArchive({Entry("one", "1")}, kStub));
  WriteFile(scratch_ / "two.zip", BuildArchive({Entry("two", "2"), Entry("three", "3")}));
  ASSERT_EQ(archive.Open(Path("one.zip"), true), ZIP_OK);
  ASSERT_EQ(archive.Open(Path("two.zip"), false), ZIP_OK);
  EXPECT_EQ(archive.GetEntryCount(), 2);
  EXPECT_EQ(archive.FindEntry(u"one"), nullptr);
  EXPECT_FALSE(archive.hasLeadingData());  // nothing before the archive
  EXPECT_EQ(archive.startOffset(), 0u);
  EXPECT_FALSE(archive.readOnly());
  EXPECT_EQ(archive.Open(Path("missing.zip"), true), ZIP_ERR_OPEN);
  ExpectClosed(archive);
  EXPECT_EQ(archive.Close(), ZIP_OK);
}

TEST_F(ZipFileTest, ThousandsOfEntriesOpenInOrder) {
  std::vector<ZipWriterEntry> entries;
  for (int i = 0; i < 5000; ++i) {
    entries.push_back(Entry("dir/file" + std::to_string(i) + ".txt", std::to_string(i), i % 2));
  }
  ZIP_File archive;
  ASSERT_EQ(OpenBytes(BuildArchive(entries, kStub), archive), ZIP_OK);
  ASSERT_EQ(archive.GetEntryCount(), 5000);
  const std::vector<ZIP_FileEntry*> all = archive.Entries();
  for (int i = 0; i < 5000; i += 499) {
    EXPECT_EQ(all[i]->Name(), "dir/file" + std::to_string(i) + ".txt");
  }
  EXPECT_EQ(archive.FindEntry(u"DIR/FILE4999.TXT"), all[4999]);
}

TEST_F(ZipFileTest, EveryAllocationFailureLeavesTheArchiveClosed) {
  ZipArchiveOptions options;
  options.comment = "comment";
  ZipWriterEntry entry = Entry("b", "2");
  entry.extra = "extra";
  entry.entryComment = "entry comment";
  const std::string bytes = BuildArchive({Entry("a", "1"), entry}, kStub, options);
  ZIP_File archive;
  int refusals = 0;
  for (int successes = 0;; ++successes) {
    int result;
    {
      packprobe::platform::SimulatedHeapExhaustion exhaustion(successes);
      result = OpenBytes(bytes, archive);
      if (exhaustion.refused() == 0) {
        ASSERT_EQ(result, ZIP_OK);
        break;
      }
    }
    ++refusals;
    EXPECT_EQ(result, ZIP_ERR_NO_MEMORY) << "after " << successes << " allocations";
    EXPECT_EQ(archive.lastFailure().code, "no-memory");
    ExpectClosed(archive);
  }
  EXPECT_GT(refusals, 0);
  EXPECT_EQ(archive.GetEntryCount(), 2);
  EXPECT_STREQ(archive.comment(), "comment");
}

TEST_F(ZipFileTest, TruncatedArchivesFailCleanly) {
  ZipWriterEntry entry = Entry("veksetup.exe", "payload payload payload");
  entry.extra = "ex";
  const std::string bytes = BuildArchive({Entry("a.xml", "<x/>", false), entry}, "MZ");
  const std::size_t endRecord = bytes.size() - 22;
  ZIP_File archive;
  for (std::size_t length = 0; length < bytes.size(); ++length) {
    const int result = OpenBytes(bytes.substr(0, length), archive);
    // With the end record's signature present, missing fields read as 0
    // and the archive may open with fewer entries.
    if (length < endRecord + 4) {
      EXPECT_NE(result, ZIP_OK) << "length " << length;
    }
    if (result != ZIP_OK) ExpectClosed(archive);
    EXPECT_LE(archive.GetEntryCount(), 2);
  }
  EXPECT_EQ(OpenBytes(bytes, archive), ZIP_OK);
}

}  // namespace
}  // namespace vekzip
