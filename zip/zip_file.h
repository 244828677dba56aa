// An archive at the end of a file: its directory and lookup by name.
//
// Open finds the end record within the last 65,535 bytes of the file, reads
// the central directory and checks every local header against its central
// header, reading each record where it lies in a few large blocks of the
// file. Offsets are absolute positions in the whole file (an archive
// appended to a program must have been written with offsets that count the
// program's bytes), held in 32 bits; positions at or above 2^31 cannot be
// reached. Only single-disk archives without data descriptors are accepted.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/file.h"
#include "zip/zip_file_entry.h"
#include "zip/zip_result.h"

namespace vekzip {

namespace detail {
class FieldReader;
struct CentralHeader;
struct SharedExtras;
}  // namespace detail

class ZIP_File {
 public:
  ZIP_File();
  // Performs Close.
  virtual ~ZIP_File();
  ZIP_File(const ZIP_File&) = delete;
  ZIP_File& operator=(const ZIP_File&) = delete;

  // Opens the file at path (for reading shared, or, when readOnly is false,
  // for reading and writing exclusively) and reads its directory. An open
  // archive is closed first. On failure the object is left closed:
  // ZIP_ERR_OPEN (cannot open), ZIP_ERR_SEEK (size or a position cannot be
  // had), ZIP_ERR_FAILED (no end record), ZIP_ERR_BAD_FORMAT (a signature,
  // spanning disks, differing entry counts, a local header that disagrees
  // with its central header), ZIP_ERR_NO_MEMORY.
  int Open(const std::u16string& path, bool readOnly);

  // As Open(path, true), on a file opened for reading already, which the
  // archive takes over (and closes when opening fails). Whoever must read
  // other parts of the same file meanwhile reads them through file().
  int Open(packprobe::platform::File&& file);

  // The file the archive reads; open while the archive is.
  packprobe::platform::File& file() { return file_; }

  // Releases the entries, the comment and the file. Always ZIP_OK.
  int Close();

  // The first entry, in directory order, whose name equals name with the
  // letters A-Z and a-z taken as equal (no other folding); null when there
  // is none or name cannot be converted to the archive's 8-bit text. The
  // entry is valid until Close.
  ZIP_FileEntry* FindEntry(std::u16string_view name);

  int GetEntryCount() const { return entryCount_; }

  // The archive comment (8-bit, up to its first zero byte), or null.
  const char* comment() const { return comment_.get(); }
  bool readOnly() const { return readOnly_; }
  // Bytes precede the archive (startOffset above 0).
  bool hasLeadingData() const { return hasLeadingData_; }
  // The lowest local-header offset, or the central-directory offset when
  // that is lower; 0 while closed.
  std::uint32_t startOffset() const { return startOffset_; }
  // From the end record; 0 while closed or when the record was rejected.
  std::uint32_t centralDirOffset() const { return centralDirOffset_; }

  // Every entry, in directory order; valid until Close.
  std::vector<ZIP_FileEntry*> Entries() const;

  // Why the last Open failed; cleared by an Open that succeeds.
  const ZIP_Failure& lastFailure() const { return failure_; }

 private:
  struct Node {
    ZIP_FileEntry* entry = nullptr;  // owned
    Node* next = nullptr;
  };

  struct EndRecord {
    std::uint32_t totalEntries = 0;
    std::uint32_t centralDirSize = 0;
  };

  // Opening's steps, in order; each records its failures.
  int ReadOpenedDirectory();
  int ReadDirectory();
  int LocateEndRecord(std::uint32_t* offset);
  int ReadEndRecord(detail::FieldReader& reader, std::uint32_t offset, EndRecord* end);
  bool ReadCentralHeader(detail::FieldReader& reader, detail::CentralHeader* central);
  int ReadLocalHeader(detail::FieldReader& reader, const detail::CentralHeader& central,
                      detail::SharedExtras& extras, ZIP_FileEntry* entry);
  int KeepExtraField(detail::FieldReader& reader, std::uint32_t length, std::uint32_t local,
                     detail::SharedExtras& extras, ZIP_FileEntry* entry);
  bool SameName(detail::FieldReader& reader, const detail::CentralHeader& central,
                const char* name);
  int EntryFailure(detail::FieldReader& reader, const detail::CentralHeader& central, int result,
                   std::string_view code, const char* what);
  int NoMemory(const char* what);
  int CentralSignatureFailure(std::uint32_t index, std::uint32_t position,
                              std::uint32_t endRecord, std::uint32_t centralDirSize);

  Node entries_;  // head; holds no entry
  Node* tail_ = &entries_;
  int entryCount_ = 0;
  std::unique_ptr<char[]> comment_;
  packprobe::platform::File file_;
  bool readOnly_ = true;
  bool hasLeadingData_ = false;
  std::uint32_t startOffset_ = 0;
  std::uint32_t centralDirOffset_ = 0;
  std::uint64_t fileSize_ = 0;  // while opening
  ZIP_Failure failure_;
};

}  // namespace vekzip
