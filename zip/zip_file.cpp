#include "zip/zip_file.h"

#include <cstring>
#include <new>

#include "platform/heap.h"
#include "zip/failure.h"

namespace vekzip {
namespace {

using packprobe::platform::File;
using packprobe::platform::HeapBuffer;
using detail::Fail;

constexpr std::uint32_t kEndRecordSignature = 0x06054B50;
constexpr std::uint32_t kCentralHeaderSignature = 0x02014B50;
constexpr std::uint32_t kLocalHeaderSignature = 0x04034B50;
constexpr std::uint32_t kLocalHeaderSize = 30;

// The end record is searched in the last 65,535 bytes, in windows of 1,028
// bytes that step 1,024 bytes toward the start, so that neighbours overlap
// by the signature's length less one.
constexpr std::uint32_t kSearchRange = 65535;
constexpr std::uint32_t kWindowStep = 1024;
constexpr std::uint32_t kWindowSize = kWindowStep + 4;

// Positions are set as signed 32-bit distances.
constexpr std::uint32_t kPositionLimit = 0x80000000u;

// Reads the directory's fields at a current position, as if one byte at a
// time from the file: a byte that cannot be read leaves the position where
// it is, and a field missing any of its bytes counts as 0. Underneath, the
// file is read in aligned blocks, two of them cached, because the directory
// reader alternates between the central directory and the local headers and
// reads both mostly forward; a system call per byte made opening an archive
// of thousands of entries take seconds.
class FieldReader {
 public:
  explicit FieldReader(File& file) : file_(file) {}

  bool SetPosition(std::uint32_t position) {
    if (position >= kPositionLimit) return false;
    position_ = position;
    return true;
  }
  std::uint32_t position() const { return position_; }

  // False when the block buffers cannot be allocated.
  bool Allocate() {
    return blocks_[0].data.Allocate(kBlockSize) && blocks_[1].data.Allocate(kBlockSize);
  }

  std::uint32_t ReadU16() { return ReadField(2); }
  std::uint32_t ReadU32() { return ReadField(4); }

  // Reads up to length bytes into out (which holds length), as far as the
  // file has them; the rest of out is zero.
  void ReadBytes(unsigned char* out, std::uint32_t length) {
    std::uint32_t done = 0;
    while (done < length) {
      const Block* block = BlockAt(position_);
      if (block == nullptr) break;
      const std::uint32_t inBlock = position_ - block->start;
      if (inBlock >= block->valid) break;
      const std::uint32_t n = std::min(length - done, block->valid - inBlock);
      std::memcpy(out + done, block->data.data() + inBlock, n);
      done += n;
      position_ += n;
    }
    std::memset(out + done, 0, length - done);
  }

 private:
  static constexpr std::uint32_t kBlockSize = 8192;

  struct Block {
    HeapBuffer data;
    std::uint32_t start = 0;
    std::uint32_t valid = 0;  // bytes read into data; fewer than a block at the end
    bool loaded = false;
    unsigned age = 0;
  };

  std::uint32_t ReadField(int size) {
    std::uint32_t value = 0;
    bool complete = true;
    for (int i = 0; i < size; ++i) {
      unsigned char byte = 0;
      if (!ReadByte(&byte)) {
        complete = false;
        continue;
      }
      value |= std::uint32_t{byte} << (8 * i);
    }
    return complete ? value : 0;
  }

  bool ReadByte(unsigned char* out) {
    const Block* block = BlockAt(position_);
    if (block == nullptr) return false;
    const std::uint32_t inBlock = position_ - block->start;
    if (inBlock >= block->valid) return false;
    *out = block->data.data()[inBlock];
    ++position_;
    return true;
  }

  // The cached block holding position, loading it in place of the one used
  // less recently; null when it cannot be read.
  const Block* BlockAt(std::uint32_t position) {
    if (position >= kPositionLimit) return nullptr;
    const std::uint32_t start = position - position % kBlockSize;
    ++clock_;
    for (Block& block : blocks_) {
      if (block.loaded && block.start == start) {
        block.age = clock_;
        return &block;
      }
    }
    Block& victim = blocks_[0].age <= blocks_[1].age ? blocks_[0] : blocks_[1];
    victim.loaded = false;
    std::uint32_t got = 0;
    if (!file_.ReadAt(start, victim.data.data(), kBlockSize, &got)) {
      return nullptr;
    }
    victim.start = start;
    victim.valid = got;
    victim.loaded = true;
    victim.age = clock_;
    return &victim;
  }

  File& file_;
  std::uint32_t position_ = 0;
  Block blocks_[2];
  unsigned clock_ = 0;
};

// An ordinary heap allocation that gives way to simulated exhaustion.
template <typename T>
T* NewOrNull() {
  if (!packprobe::platform::AllocationAllowed()) return nullptr;
  return new (std::nothrow) T();
}

// Reads a variable-length field of length bytes (name, extra field,
// comment) through a temporary heap buffer and keeps its text up to the
// first zero byte as a new zero-terminated array; *out stays null for
// length 0. With keep false the field is only stepped over.
int ReadVariableField(FieldReader& reader, std::uint32_t length, bool keep,
                      std::unique_ptr<char[]>* out) {
  if (length == 0) return ZIP_OK;
  HeapBuffer temporary;
  if (!temporary.Allocate(length)) return ZIP_ERR_NO_MEMORY;
  reader.ReadBytes(temporary.data(), length);
  if (!keep) return ZIP_OK;
  const auto* begin = temporary.data();
  const auto* zero = static_cast<const unsigned char*>(std::memchr(begin, 0, length));
  const std::size_t textLength = zero ? static_cast<std::size_t>(zero - begin) : length;
  if (!packprobe::platform::AllocationAllowed()) return ZIP_ERR_NO_MEMORY;
  std::unique_ptr<char[]> text(new (std::nothrow) char[textLength + 1]);
  if (!text) return ZIP_ERR_NO_MEMORY;
  std::memcpy(text.get(), begin, textLength);
  text[textLength] = '\0';
  *out = std::move(text);
  return ZIP_OK;
}

// Equal as the zero-terminated texts they hold; a missing text equals only
// another missing one.
bool SameText(const char* a, const char* b) {
  if (a == nullptr || b == nullptr) return a == b;
  return std::strcmp(a, b) == 0;
}

unsigned char FoldAscii(unsigned char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c - 'A' + 'a') : c;
}

std::uint32_t DecodeU32(const unsigned char* p) {
  return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
         std::uint32_t{p[3]} << 24;
}

struct CentralHeader {
  std::uint32_t versionMadeBy, versionNeeded, flags, method, modTime, modDate;
  std::uint32_t crc, compressedSize, uncompressedSize;
  std::uint32_t nameLength, extraLength, commentLength;
  std::uint32_t diskNumberStart, internalAttributes, externalAttributes, localHeaderOffset;
  std::unique_ptr<char[]> name;
};

// The first field in which a local header differs from its central header,
// named for people; null when they agree.
const char* Disagreement(const CentralHeader& central, const ZIP_FileEntry& local) {
  if (central.versionNeeded != local.versionNeeded) return "version needed to extract";
  if (central.flags != local.flags) return "flags";
  if (central.method != local.method) return "compression method";
  if (central.modTime != local.modTime || central.modDate != local.modDate) {
    return "modification time";
  }
  if (central.crc != local.crc) return "CRC-32";
  if (central.compressedSize != local.compressedSize) return "compressed size";
  if (central.uncompressedSize != local.uncompressedSize) return "uncompressed size";
  if (!SameText(central.name.get(), local.Name())) return "name";
  return nullptr;
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
    return Fail(&failure_, ZIP_ERR_OPEN, "open-failed", std::nullopt,
                "the archive file cannot be opened");
  }
  const int status = ReadDirectory();
  if (startOffset_ > 0) hasLeadingData_ = true;
  if (status == ZIP_OK) return ZIP_OK;
  // Every failure point records its own detail; this is a safety net.
  if (failure_.result != status) {
    Fail(&failure_, status, "read-failed", std::nullopt, "the archive directory cannot be read");
  }
  Close();
  return status;
}

int ZIP_File::LocateEndRecord(std::uint32_t* offset) {
  *offset = 0;
  std::uint64_t size = 0;
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
    if (start >= kPositionLimit || !file_.SetPosition(static_cast<std::uint32_t>(start)) ||
        !file_.Read(window.data(), length, &got) || got != length) {
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
  return Fail(&failure_, ZIP_ERR_NO_MEMORY, "no-memory", std::nullopt,
              "memory for %s cannot be allocated", what);
}

int ZIP_File::ReadDirectory() {
  FieldReader reader(file_);
  if (!reader.Allocate()) return NoMemory("the directory read buffers");

  int status = ZIP_ERR_FAILED;
  std::uint32_t endRecord = 0;
  if (const int located = LocateEndRecord(&endRecord); located != ZIP_OK) return located;
  // Offset 0 stands for "not found": an archive whose end record is the
  // file's first byte holds nothing anyway.
  std::uint32_t totalEntries = 0;
  std::uint32_t centralDirSize = 0;
  if (endRecord == 0) {
    Fail(&failure_, ZIP_ERR_FAILED, "end-record-missing", std::nullopt,
         "no end record signature in the last 65,535 bytes of the file: it is no archive");
  } else {
    if (!reader.SetPosition(endRecord)) {
      status = Fail(&failure_, ZIP_ERR_SEEK, "seek-failed", endRecord,
                    "the end record at 0x%X cannot be reached", endRecord);
    } else if (reader.ReadU32() != kEndRecordSignature) {
      status = Fail(&failure_, ZIP_ERR_BAD_FORMAT, "end-record-signature", endRecord,
                    "the end record at 0x%X cannot be read back", endRecord);
    } else {
      const std::uint32_t thisDisk = reader.ReadU16();
      const std::uint32_t centralDirDisk = reader.ReadU16();
      const std::uint32_t entriesOnDisk = reader.ReadU16();
      totalEntries = reader.ReadU16();
      centralDirSize = reader.ReadU32();
      centralDirOffset_ = reader.ReadU32();
      const std::uint32_t commentLength = reader.ReadU16();
      if (const int read = ReadVariableField(reader, commentLength, true, &comment_);
          read != ZIP_OK) {
        return NoMemory("the archive comment");
      }
      if (thisDisk != 0 || centralDirDisk != 0) {
        centralDirOffset_ = 0;
        status = Fail(&failure_, ZIP_ERR_BAD_FORMAT, "multi-disk", endRecord,
                      "the end record at 0x%X names disk %u with the directory on disk %u: "
                      "archives that span disks are not read",
                      endRecord, thisDisk, centralDirDisk);
      } else if (entriesOnDisk != totalEntries) {
        centralDirOffset_ = 0;
        status = Fail(&failure_, ZIP_ERR_BAD_FORMAT, "entry-count-mismatch", endRecord,
                      "the end record at 0x%X counts %u entries on this disk but %u in all",
                      endRecord, entriesOnDisk, totalEntries);
      } else {
        status = ZIP_OK;
      }
    }
  }
  if (centralDirOffset_ == 0) return status;

  if (!reader.SetPosition(centralDirOffset_)) {
    return Fail(&failure_, ZIP_ERR_SEEK, "seek-failed", centralDirOffset_,
                "central directory offset 0x%X cannot be reached (positions stop at 2 GiB)",
                centralDirOffset_);
  }
  std::uint32_t lowest = centralDirOffset_;
  for (std::uint32_t index = 0; index < totalEntries; ++index) {
    CentralHeader central{};
    const std::uint32_t centralPosition = reader.position();
    if (reader.ReadU32() != kCentralHeaderSignature) {
      return CentralSignatureFailure(index, centralPosition, endRecord, centralDirSize);
    }
    central.versionMadeBy = reader.ReadU16();
    central.versionNeeded = reader.ReadU16();
    central.flags = reader.ReadU16();
    central.method = reader.ReadU16();
    central.modTime = reader.ReadU16();
    central.modDate = reader.ReadU16();
    central.crc = reader.ReadU32();
    central.compressedSize = reader.ReadU32();
    central.uncompressedSize = reader.ReadU32();
    central.nameLength = reader.ReadU16();
    central.extraLength = reader.ReadU16();
    central.commentLength = reader.ReadU16();
    central.diskNumberStart = reader.ReadU16();
    central.internalAttributes = reader.ReadU16();
    central.externalAttributes = reader.ReadU32();
    central.localHeaderOffset = reader.ReadU32();
    int read = ReadVariableField(reader, central.nameLength, true, &central.name);
    if (read == ZIP_OK) read = ReadVariableField(reader, central.extraLength, false, nullptr);
    if (read == ZIP_OK) read = ReadVariableField(reader, central.commentLength, false, nullptr);
    if (read != ZIP_OK) return NoMemory("a central header's name, extra field or comment");
    const std::uint32_t nextCentral = reader.position();

    std::unique_ptr<ZIP_FileEntry> entry(NewOrNull<ZIP_FileEntry>());
    if (!entry) return NoMemory("an entry record");
    const std::uint32_t local = central.localHeaderOffset;
    const char* name = central.name.get();
    const int nameLength = detail::NameLength(name);
    if (!reader.SetPosition(local)) {
      return Fail(&failure_, ZIP_ERR_SEEK, "seek-failed", local,
                  "the local header of entry \"%.*s\" at 0x%X cannot be reached "
                  "(positions stop at 2 GiB)",
                  nameLength, name ? name : "", local);
    }
    lowest = std::min(lowest, local);

    if (reader.ReadU32() != kLocalHeaderSignature) {
      return Fail(&failure_, ZIP_ERR_BAD_FORMAT, "local-header-signature", local,
                  "entry \"%.*s\" names a local header at 0x%X, but none begins there",
                  nameLength, name ? name : "", local);
    }
    entry->versionNeeded = reader.ReadU16();
    entry->flags = reader.ReadU16();
    entry->method = reader.ReadU16();
    entry->modTime = reader.ReadU16();
    entry->modDate = reader.ReadU16();
    entry->crc = reader.ReadU32();
    entry->compressedSize = reader.ReadU32();
    entry->uncompressedSize = reader.ReadU32();
    const std::uint32_t nameLengthLocal = reader.ReadU16();
    const std::uint32_t extraLength = reader.ReadU16();
    read = ReadVariableField(reader, nameLengthLocal, true, &entry->name);
    if (read == ZIP_OK) read = ReadVariableField(reader, extraLength, true, &entry->extraField);
    if (read != ZIP_OK) return NoMemory("a local header's name or extra field");

    entry->versionMadeBy = central.versionMadeBy;
    entry->diskNumberStart = central.diskNumberStart;
    entry->internalAttributes = central.internalAttributes;
    entry->externalAttributes = central.externalAttributes;
    entry->localHeaderOffset = local;
    entry->archiveFile = &file_;
    // Cannot wrap: the local header offset is below 2^31.
    entry->dataOffset = local + kLocalHeaderSize + nameLengthLocal + extraLength;

    // Both headers must agree; an archive written with a data descriptor
    // (zero CRC-32 and sizes in the local header) fails here too.
    if (const char* differing = Disagreement(central, *entry)) {
      return Fail(&failure_, ZIP_ERR_BAD_FORMAT, "local-header-mismatch", local,
                  "the local header of entry \"%.*s\" at 0x%X disagrees with its central "
                  "header on the %s%s",
                  nameLength, name ? name : "", local, differing,
                  (entry->flags & 8) != 0 && entry->crc == 0
                      ? " (the archive was written with data descriptors, which are not read)"
                      : "");
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
        DecodeU32(signature) == kCentralHeaderSignature) {
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
      if (c == 0 || FoldAscii(c) != FoldAscii(static_cast<unsigned char>((*narrow)[i]))) break;
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
