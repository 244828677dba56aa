#include "zip/zip_file.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <unordered_map>
#include <span>

#include "platform/heap.h"
#include "util/ascii.h"
#include "util/byte_reader.h"
#include "zip/failure.h"
#include "zip/field_reader.h"

namespace vekzip {
namespace {

using packprobe::ByteReader;
using packprobe::platform::File;
using packprobe::platform::HeapBuffer;
using detail::Fail;

constexpr std::uint32_t kEndRecordSignature = 0x06054B50;
constexpr std::uint32_t kCentralHeaderSignature = 0x02014B50;
constexpr std::uint32_t kLocalHeaderSignature = 0x04034B50;
constexpr std::uint32_t kEndRecordSize = 22;
constexpr std::uint32_t kCentralHeaderSize = 46;
constexpr std::uint32_t kLocalHeaderSize = 30;

// The end record is searched in the last 65,535 bytes, in windows of 1,028
// bytes that step 1,024 bytes toward the start, so that neighbours overlap
// by the signature's length less one.
constexpr std::uint32_t kSearchRange = 65535;
constexpr std::uint32_t kWindowStep = 1024;
constexpr std::uint32_t kWindowSize = kWindowStep + 4;

// Positions are set as signed 32-bit distances.
constexpr std::uint32_t kPositionLimit = 0x80000000u;

}  // namespace

namespace detail {

// A central header's fields, and where its name's text lies in the file.
struct CentralHeader {
  std::uint32_t versionMadeBy, versionNeeded, flags, method, modTime, modDate;
  std::uint32_t crc, compressedSize, uncompressedSize;
  std::uint32_t nameLength, extraLength, commentLength;
  std::uint32_t diskNumberStart, internalAttributes, externalAttributes, localHeaderOffset;
  std::uint32_t nameStart, nameText;  // the name up to its first zero
};


// Copies of extra fields by the offset of the local header they belong to.
struct SharedExtras {
  std::unordered_map<std::uint32_t, std::shared_ptr<const char[]>> byLocalHeader;
};

}  // namespace detail

using detail::CentralHeader;
using detail::FieldReader;
using detail::SharedExtras;

namespace {

// A field of a record; 0 when the record was cut off before its end.
std::uint32_t Field16(const ByteReader& record, std::size_t offset) {
  std::uint16_t value = 0;
  return record.ReadU16(offset, &value) ? value : 0;
}
std::uint32_t Field32(const ByteReader& record, std::size_t offset) {
  std::uint32_t value = 0;
  return record.ReadU32(offset, &value) ? value : 0;
}

// An ordinary heap allocation that gives way to simulated exhaustion.
template <typename T>
T* NewOrNull() {
  if (!packprobe::platform::AllocationAllowed()) return nullptr;
  return new (std::nothrow) T();
}

// A zero-terminated copy of the length bytes at start (a text TextField
// measured); null when it cannot be allocated.
char* CopyOfText(FieldReader& reader, std::uint32_t start, std::uint32_t length) {
  if (!packprobe::platform::AllocationAllowed()) return nullptr;
  char* text = new (std::nothrow) char[std::size_t{length} + 1];
  if (text == nullptr) return nullptr;
  reader.CopyText(start, length, text);
  text[length] = '\0';
  return text;
}

// Reads a variable-length field (the archive comment, a local name or extra
// field) and keeps its text up to the first zero byte; *out stays null for
// length 0. False when the copy cannot be allocated.
bool KeepTextField(FieldReader& reader, std::uint32_t length, std::unique_ptr<char[]>* out) {
  if (length == 0) return true;
  std::uint32_t start = 0;
  const std::uint32_t text = reader.TextField(length, &start);
  out->reset(CopyOfText(reader, start, text));
  return *out != nullptr;
}


}  // namespace

ZIP_File::ZIP_File() = default;

ZIP_File::~ZIP_File() { Close(); }

int ZIP_File::Close() {
  comment_.reset();
  // Iterative, so that a long list cannot exhaust the stack.
  Node* node = entries_.next;
  while (node != nullptr) {
    Node* next = node->next;
    delete node->entry;
    delete node;
    node = next;
  }
  entries_.next = nullptr;
  tail_ = &entries_;
  entryCount_ = 0;
  file_.Close();
  readOnly_ = true;
  hasLeadingData_ = false;
  startOffset_ = 0;
  centralDirOffset_ = 0;
  return ZIP_OK;
}

int ZIP_File::Open(const std::u16string& path, bool readOnly) {
  if (file_.IsOpen() || entries_.next != nullptr) Close();
  detail::Clear(&failure_);
  readOnly_ = readOnly;
  if (!file_.Open(path, readOnly ? File::Access::kReadShared : File::Access::kReadWriteExclusive)) {
    return detail::HostFailure(&failure_, file_.fault(),
                               Fail(&failure_, ZIP_ERR_OPEN, "open-failed", std::nullopt,
                                    "the archive file cannot be opened"));
  }
  return ReadOpenedDirectory();
}

int ZIP_File::Open(packprobe::platform::File&& file) {
  if (file_.IsOpen() || entries_.next != nullptr) Close();
  detail::Clear(&failure_);
  readOnly_ = true;
  file_ = std::move(file);
  if (!file_.IsOpen()) {
    return Fail(&failure_, ZIP_ERR_OPEN, "open-failed", std::nullopt,
                "the archive file cannot be opened");
  }
  return ReadOpenedDirectory();
}

int ZIP_File::ReadOpenedDirectory() {
  const int status = ReadDirectory();
  if (startOffset_ > 0) hasLeadingData_ = true;
  if (status == ZIP_OK) return ZIP_OK;
  // Every failure point records its own detail; this is a safety net.
  if (failure_.result != status) {
    Fail(&failure_, status, "read-failed", std::nullopt, "the archive directory cannot be read");
  }
  // A read of the directory that the system refused makes whatever the
  // reader concluded from it the host's failure.
  if (failure_.hostFault == packprobe::platform::HostFault::kNone) failure_.hostFault = file_.fault();
  Close();
  return status;
}

int ZIP_File::LocateEndRecord(std::uint32_t* offset) {
  *offset = 0;
  std::uint64_t& size = fileSize_;
  if (!file_.Size(&size)) {
    return Fail(&failure_, ZIP_ERR_SEEK, "size-failed", std::nullopt,
                "the size of the archive file cannot be read");
  }
  const std::uint32_t range =
      size < kSearchRange ? static_cast<std::uint32_t>(size) : kSearchRange;
  HeapBuffer window;
  if (!window.Allocate(kWindowSize)) return NoMemory("the end-record search window");
  std::uint32_t back = 4;
  while (back < range) {
    back = std::min(back + kWindowStep, range);
    const std::uint64_t start = size - back;
    const std::uint32_t length = std::min(kWindowSize, back);
    std::uint32_t got = 0;
    // A window that cannot be positioned (at or beyond 2^31) or read in
    // full ends the search: not found.
    if (start >= kPositionLimit ||
        !file_.ReadAt(static_cast<std::uint32_t>(start), window.data(), length, &got) ||
        got != length) {
      return ZIP_OK;
    }
    for (std::uint32_t i = length - 4 + 1; i-- > 0;) {
      const unsigned char* p = window.data() + i;
      if (p[0] == 0x50 && p[1] == 0x4B && p[2] == 0x05 && p[3] == 0x06) {
        *offset = static_cast<std::uint32_t>(start) + i;
        return ZIP_OK;
      }
    }
  }
  return ZIP_OK;
}

int ZIP_File::NoMemory(const char* what) {
  return detail::HostFailure(&failure_, packprobe::platform::HostFault::kNoMemory,
                             Fail(&failure_, ZIP_ERR_NO_MEMORY, "no-memory", std::nullopt,
                                  "memory for %s cannot be allocated", what));
}

int ZIP_File::ReadDirectory() {
  FieldReader reader(file_);
  if (!reader.Allocate()) return NoMemory("the directory read buffers");
  std::uint32_t endRecord = 0;
  if (const int located = LocateEndRecord(&endRecord); located != ZIP_OK) return located;
  // Offset 0 stands for "not found": an archive whose end record is the
  // file's first byte holds nothing anyway.
  if (endRecord == 0) {
    return Fail(&failure_, ZIP_ERR_FAILED, "end-record-missing", std::nullopt,
                "no end record signature in the last 65,535 bytes of the file: it is no archive");
  }
  EndRecord end;
  const int status = ReadEndRecord(reader, endRecord, &end);
  if (centralDirOffset_ == 0 || status == ZIP_ERR_NO_MEMORY) return status;

  if (!reader.SetPosition(centralDirOffset_)) {
    return Fail(&failure_, ZIP_ERR_SEEK, "seek-failed", centralDirOffset_,
                "central directory offset 0x%X cannot be reached (positions stop at 2 GiB)",
                centralDirOffset_);
  }
  std::uint32_t lowest = centralDirOffset_;
  // Entries whose central headers name the same local header share one copy
  // of its extra field, so that memory does not grow with repeated copies.
  detail::SharedExtras extras;
  for (std::uint32_t index = 0; index < end.totalEntries; ++index) {
    const std::uint32_t centralPosition = reader.position();
    CentralHeader central;
    if (!ReadCentralHeader(reader, &central)) {
      return CentralSignatureFailure(index, centralPosition, endRecord, end.centralDirSize);
    }
    const std::uint32_t nextCentral = reader.position();

    std::unique_ptr<ZIP_FileEntry> entry(NewOrNull<ZIP_FileEntry>());
    if (!entry) return NoMemory("an entry record");
    lowest = std::min(lowest, central.localHeaderOffset);
    if (const int read = ReadLocalHeader(reader, central, extras, entry.get()); read != ZIP_OK) {
      return read;
    }

    Node* node = NewOrNull<Node>();
    if (node == nullptr) return NoMemory("an entry list node");
    node->entry = entry.release();
    tail_->next = node;
    tail_ = node;
    ++entryCount_;

    if (!reader.SetPosition(nextCentral)) {
      return Fail(&failure_, ZIP_ERR_SEEK, "seek-failed", nextCentral,
                  "central header %u at 0x%X cannot be reached (positions stop at 2 GiB)",
                  index + 1, nextCentral);
    }
  }
  startOffset_ = lowest;
  return status;
}

// Reads the end record at offset: the directory's place and size, its
// entry count and the archive comment. ZIP_OK, or the code of a record that
// cannot be read or is refused (then centralDirOffset_ stays 0).
int ZIP_File::ReadEndRecord(FieldReader& reader, std::uint32_t offset, EndRecord* end) {
  if (!reader.SetPosition(offset)) {
    return Fail(&failure_, ZIP_ERR_SEEK, "seek-failed", offset,
                "the end record at 0x%X cannot be reached", offset);
  }
  const ByteReader record = reader.Record(kEndRecordSize);
  if (Field32(record, 0) != kEndRecordSignature) {
    return Fail(&failure_, ZIP_ERR_BAD_FORMAT, "end-record-signature", offset,
                "the end record at 0x%X cannot be read back", offset);
  }
  const std::uint32_t thisDisk = Field16(record, 4);
  const std::uint32_t centralDirDisk = Field16(record, 6);
  const std::uint32_t entriesOnDisk = Field16(record, 8);
  end->totalEntries = Field16(record, 10);
  end->centralDirSize = Field32(record, 12);
  centralDirOffset_ = Field32(record, 16);
  if (!KeepTextField(reader, Field16(record, 20), &comment_)) {
    return NoMemory("the archive comment");
  }
  if (thisDisk != 0 || centralDirDisk != 0) {
    centralDirOffset_ = 0;
    return Fail(&failure_, ZIP_ERR_BAD_FORMAT, "multi-disk", offset,
                "the end record at 0x%X names disk %u with the directory on disk %u: "
                "archives that span disks are not read",
                offset, thisDisk, centralDirDisk);
  }
  if (entriesOnDisk != end->totalEntries) {
    centralDirOffset_ = 0;
    return Fail(&failure_, ZIP_ERR_BAD_FORMAT, "entry-count-mismatch", offset,
                "the end record at 0x%X counts %u entries on this disk but %u in all", offset,
                entriesOnDisk, end->totalEntries);
  }
  return ZIP_OK;
}

// Reads a central header and steps over its name, extra field and comment;
// false when its signature is missing.
bool ZIP_File::ReadCentralHeader(FieldReader& reader, CentralHeader* central) {
  const ByteReader record = reader.Record(kCentralHeaderSize);
  if (Field32(record, 0) != kCentralHeaderSignature) return false;
  central->versionMadeBy = Field16(record, 4);
  central->versionNeeded = Field16(record, 6);
  central->flags = Field16(record, 8);
  central->method = Field16(record, 10);
  central->modTime = Field16(record, 12);
  central->modDate = Field16(record, 14);
  central->crc = Field32(record, 16);
  central->compressedSize = Field32(record, 20);
  central->uncompressedSize = Field32(record, 24);
  central->nameLength = Field16(record, 28);
  central->extraLength = Field16(record, 30);
  central->commentLength = Field16(record, 32);
  central->diskNumberStart = Field16(record, 34);
  central->internalAttributes = Field16(record, 36);
  central->externalAttributes = Field32(record, 38);
  central->localHeaderOffset = Field32(record, 42);
  central->nameText = reader.TextField(central->nameLength, &central->nameStart);
  std::uint32_t ignored = 0;
  reader.TextField(central->extraLength, &ignored);
  reader.TextField(central->commentLength, &ignored);
  return true;
}

// Reads the local header that central names into entry, completes the entry
// from both headers, and checks that they agree.
int ZIP_File::ReadLocalHeader(FieldReader& reader, const CentralHeader& central,
                              SharedExtras& extras, ZIP_FileEntry* entry) {
  const std::uint32_t local = central.localHeaderOffset;
  if (!reader.SetPosition(local)) {
    return EntryFailure(reader, central, ZIP_ERR_SEEK, "seek-failed",
                        "its local header cannot be reached (positions stop at 2 GiB)");
  }
  const ByteReader record = reader.Record(kLocalHeaderSize);
  if (Field32(record, 0) != kLocalHeaderSignature) {
    return EntryFailure(reader, central, ZIP_ERR_BAD_FORMAT, "local-header-signature",
                        "no local header begins where its central header says");
  }
  entry->versionNeeded = Field16(record, 4);
  entry->flags = Field16(record, 6);
  entry->method = Field16(record, 8);
  entry->modTime = Field16(record, 10);
  entry->modDate = Field16(record, 12);
  entry->crc = Field32(record, 14);
  entry->compressedSize = Field32(record, 18);
  entry->uncompressedSize = Field32(record, 22);
  const std::uint32_t nameLength = Field16(record, 26);
  const std::uint32_t extraLength = Field16(record, 28);
  if (!KeepTextField(reader, nameLength, &entry->name)) return NoMemory("an entry name");
  if (const int kept = KeepExtraField(reader, extraLength, local, extras, entry); kept != ZIP_OK) {
    return kept;
  }

  entry->versionMadeBy = central.versionMadeBy;
  entry->diskNumberStart = central.diskNumberStart;
  entry->internalAttributes = central.internalAttributes;
  entry->externalAttributes = central.externalAttributes;
  entry->localHeaderOffset = local;
  entry->archiveFile = &file_;
  // Cannot wrap: the local header offset is below 2^31.
  entry->dataOffset = local + kLocalHeaderSize + nameLength + extraLength;

  // Both headers must agree; an archive written with a data descriptor
  // (zero CRC-32 and sizes in the local header) fails here too.
  const char* differing = nullptr;
  if (central.versionNeeded != entry->versionNeeded) {
    differing = "version needed to extract";
  } else if (central.flags != entry->flags) {
    differing = "flags";
  } else if (central.method != entry->method) {
    differing = "compression method";
  } else if (central.modTime != entry->modTime || central.modDate != entry->modDate) {
    differing = "modification time";
  } else if (central.crc != entry->crc) {
    differing = "CRC-32";
  } else if (central.compressedSize != entry->compressedSize) {
    differing = "compressed size";
  } else if (central.uncompressedSize != entry->uncompressedSize) {
    differing = "uncompressed size";
  } else if (!SameName(reader, central, entry->Name())) {
    differing = "name";
  }
  if (differing == nullptr) return ZIP_OK;
  char what[160];
  std::snprintf(what, sizeof what, "its local header disagrees with its central header on the %s%s",
                differing,
                (entry->flags & 8) != 0 && entry->crc == 0
                    ? " (the archive was written with data descriptors, which are not read)"
                    : "");
  return EntryFailure(reader, central, ZIP_ERR_BAD_FORMAT, "local-header-mismatch", what);
}

// Keeps the extra field of the local header at local up to its first zero
// byte, sharing the copy with earlier entries of the same local header.
int ZIP_File::KeepExtraField(FieldReader& reader, std::uint32_t length, std::uint32_t local,
                             SharedExtras& extras, ZIP_FileEntry* entry) {
  if (length == 0) return ZIP_OK;
  std::uint32_t start = 0;
  const std::uint32_t text = reader.TextField(length, &start);
  try {
    auto [kept, added] = extras.byLocalHeader.try_emplace(local);
    if (added) {
      kept->second.reset(CopyOfText(reader, start, text));
      if (kept->second == nullptr) {
        extras.byLocalHeader.erase(kept);
        return NoMemory("an extra field");
      }
    }
    entry->extraField = kept->second;
  } catch (const std::bad_alloc&) {
    return NoMemory("an extra field");
  }
  return ZIP_OK;
}

// The central header's name, as far as its first zero, equals name.
bool ZIP_File::SameName(FieldReader& reader, const CentralHeader& central, const char* name) {
  const std::size_t length = name == nullptr ? 0 : std::strlen(name);
  // No name at all equals only another missing one.
  if (central.nameLength == 0 || name == nullptr) return central.nameLength == 0 && name == nullptr;
  return length == central.nameText && reader.SameBytes(central.nameStart, central.nameText, name);
}

// Records a failure of the entry that central describes, naming it.
int ZIP_File::EntryFailure(FieldReader& reader, const CentralHeader& central, int result,
                           std::string_view code, const char* what) {
  char name[121];
  const std::uint32_t length = std::min<std::uint32_t>(central.nameText, sizeof name - 1);
  reader.CopyText(central.nameStart, length, name);
  name[length] = '\0';
  return Fail(&failure_, result, code, central.localHeaderOffset,
              "entry \"%s\" with its local header at 0x%X: %s", name,
              central.localHeaderOffset, what);
}

// The classic fault of a self-extracting archive is an archive appended to
// a program without its offsets moved: the directory then sits exactly
// before the end record, and the stored offset is short by the program's
// length. That case gets its own explanation.
int ZIP_File::CentralSignatureFailure(std::uint32_t index, std::uint32_t position,
                                      std::uint32_t endRecord, std::uint32_t centralDirSize) {
  if (index == 0 && centralDirSize <= endRecord && endRecord - centralDirSize != position) {
    const std::uint32_t actual = endRecord - centralDirSize;
    unsigned char signature[4] = {};
    std::uint32_t got = 0;
    if (file_.ReadAt(actual, signature, 4, &got) && got == 4 &&
        packprobe::DecodeU32(signature) == kCentralHeaderSignature) {
      return Fail(&failure_, ZIP_ERR_BAD_FORMAT, "central-header-signature", position,
                  "central directory offset 0x%X does not hold a central header: the archive "
                  "was appended without adjusting its offsets (zip -A fixes this)",
                  position);
    }
  }
  if (index == 0) {
    return Fail(&failure_, ZIP_ERR_BAD_FORMAT, "central-header-signature", position,
                "central directory offset 0x%X does not hold a central header", position);
  }
  return Fail(&failure_, ZIP_ERR_BAD_FORMAT, "central-header-signature", position,
              "central header %u at 0x%X has no signature", index + 1, position);
}

ZIP_FileEntry* ZIP_File::FindEntry(std::u16string_view name) {
  const std::optional<std::string> narrow = packprobe::platform::WideNameToNarrow(name);
  if (!narrow) return nullptr;
  for (Node* node = entries_.next; node != nullptr; node = node->next) {
    const char* candidate = node->entry->Name();
    if (candidate == nullptr) continue;
    std::size_t i = 0;
    for (; i < narrow->size(); ++i) {
      const auto c = static_cast<unsigned char>(candidate[i]);
      const auto wanted = static_cast<unsigned char>((*narrow)[i]);
      if (c == 0 || !packprobe::AsciiEqualIgnoringCase(c, wanted)) break;
    }
    if (i == narrow->size() && candidate[i] == '\0') return node->entry;
  }
  return nullptr;
}

std::vector<ZIP_FileEntry*> ZIP_File::Entries() const {
  std::vector<ZIP_FileEntry*> all;
  all.reserve(static_cast<std::size_t>(entryCount_));
  for (const Node* node = entries_.next; node != nullptr; node = node->next) {
    all.push_back(node->entry);
  }
  return all;
}

}  // namespace vekzip
