// One entry of an open archive, and its extraction to a file.
//
// Entries are created by ZIP_File::Open and stay valid until the archive is
// closed or destroyed. Entry data is stored (method 0) or raw-deflated
// (method 8); every produced byte goes through a CRC-32 that is compared
// with the stored one once all bytes are out. Memory does not grow with the
// size of an entry: an input block and an output chunk of at most 1 MiB
// each, and the inflate state.
//
// The entry's data is read as if in pieces of 16,384 bytes, each read whole
// when its first byte is needed: a piece that runs past the end of the file
// fails the read, even when only its first bytes are needed. Underneath,
// larger blocks are read where that gives the same outcome.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/file.h"
#include "platform/heap.h"
#include "zip/inflater.h"
#include "zip/zip_result.h"

namespace vekzip {

// The state of one streaming read of an entry, owned by whoever runs it:
// BeginRead, then Read until it fails or produces nothing, then EndRead.
// Whatever EndRead did not release is released on destruction.
struct ZIP_ReadState {
  ZIP_ReadState() = default;
  ~ZIP_ReadState();
  ZIP_ReadState(const ZIP_ReadState&) = delete;
  ZIP_ReadState& operator=(const ZIP_ReadState&) = delete;

  // Frees the input buffer and the inflate state, if held.
  void Release();

  packprobe::platform::HeapBuffer inputBuffer;  // archive bytes of a deflated entry
  packprobe::platform::File* file = nullptr;    // the archive, borrowed
  // The engine that produces the bytes: the build's, or zlib once a
  // failure on the build's engine is being decided again.
  const detail::InflateEngine* engine = nullptr;
  detail::InflaterPtr inflater;                 // set up for deflated entries only
  bool begun = false;                  // BeginRead succeeded and EndRead has not run
  bool pieceByPiece = false;           // a block read failed: read 16,384-byte pieces
  std::uint32_t crc = 0;               // running CRC-32 of the bytes produced
  std::uint32_t compressedLeft = 0;    // entry bytes not yet read from the archive
  std::uint32_t uncompressedLeft = 0;  // bytes not yet produced
  std::uint32_t filePosition = 0;      // absolute position of the next unread data byte
  // Where the first piece that cannot be read whole begins (the end of the
  // data when every piece can): past the end of the file, or at or above
  // 2^31 where no position can be set.
  std::uint64_t readableEnd = 0;
};

// Receives the bytes of an entry in order, for ZIP_FileEntry::Stream.
class ZIP_Sink {
 public:
  virtual ~ZIP_Sink() = default;
  // Takes the next size bytes. False stops the read.
  virtual bool Write(const unsigned char* data, std::uint32_t size) = 0;
};

class ZIP_FileEntry {
 public:
  // The piece size of the data as the archive is read.
  static constexpr std::uint32_t kPieceSize = 16384;
  // What one read of the archive and one write of the output file move at
  // most; a multiple of kPieceSize.
  static constexpr std::uint32_t kBlockSize = 1 << 20;

  ZIP_FileEntry() = default;
  virtual ~ZIP_FileEntry() = default;
  ZIP_FileEntry(const ZIP_FileEntry&) = delete;
  ZIP_FileEntry& operator=(const ZIP_FileEntry&) = delete;

  // Writes the entry to outputPath, or, when it is null, to the path its
  // own name gives (relative to the current directory). A name that is
  // absolute, starts with a drive, holds a ".." level or cannot be
  // converted gives ZIP_ERR_PARAM and writes nothing. Missing directories
  // of the target are created when the path is rooted. failIfExists
  // refuses to replace an existing file (ZIP_ERR_CREATE). The file gets the
  // entry's DOS time and attributes and stays on disk whatever the result.
  // A directory entry creates its directory instead: ZIP_ERR_PARAM with an
  // output path or when the directory cannot be created.
  int Extract(const std::u16string* outputPath, bool failIfExists);

  // Produces every byte of the entry into sink, with the outcome that
  // Extract gives for the same data (the same result and lastFailure for a
  // short, corrupt or wrong-CRC entry on either inflate engine), and without
  // writing anything anywhere. When the sink refuses bytes: ZIP_ERR_CREATE,
  // "write-failed".
  int Stream(ZIP_Sink& sink);

  // True when the name ends in '/', or ends in '\' with both sizes 0.
  bool IsDirectory() const;

  // Writes the uncompressed data at the current position of file.
  // ZIP_ERR_CREATE when a write fails; otherwise the code of Read or EndRead.
  int CopyTo(packprobe::platform::File& file);

  // Starts a streaming read: positions the archive at the entry's data and
  // acquires the input buffer and, unless stored, the inflate state.
  int BeginRead(ZIP_ReadState* state);

  // Produces up to size bytes (never more than are still expected) into
  // buffer; *produced (when not null) is the count. ZIP_OK with nothing
  // produced means every expected byte is out. ZIP_ERR_END_OF_DATA when the
  // data ran out with nothing produced, ZIP_ERR_FAILED when the archive
  // cannot be read (or is shorter than the entry), ZIP_ERR_BAD_FORMAT for
  // an unknown method or corrupt deflated data. Nothing past the declared
  // size is read or checked: a deflated stream that goes on after it is
  // judged by the declared bytes and their CRC-32.
  //
  // Every outcome is zlib's: when the build's engine is another and a read
  // fails, or produces the last bytes with a CRC-32 other than the stored
  // one, the read is run again on zlib from the start of the data (the bytes
  // already delivered are decoded again and dropped), and zlib's outcome
  // stands from there on.
  int Read(void* buffer, std::uint32_t size, ZIP_ReadState* state, std::uint32_t* produced);

  // Ends a streaming read and releases its resources. ZIP_ERR_CRC when all
  // bytes were produced and their CRC-32 differs from the stored one.
  int EndRead(ZIP_ReadState* state);

  // Why the last Extract, CopyTo, BeginRead, Read or EndRead failed;
  // Extract and BeginRead clear it when they start.
  const ZIP_Failure& lastFailure() const { return failure_; }

  // The name as stored (8-bit, zero-terminated), or null for none.
  const char* Name() const { return name.get(); }

  // Fields of the central and local headers; 16-bit fields zero-extended.
  std::uint32_t versionMadeBy = 0;       // central
  std::uint32_t versionNeeded = 0;       // local
  std::uint32_t flags = 0;               // local; not interpreted
  std::uint32_t method = 0;              // local
  std::uint32_t modTime = 0;             // local, DOS format
  std::uint32_t modDate = 0;             // local, DOS format
  std::uint32_t crc = 0;                 // local
  std::uint32_t compressedSize = 0;      // local
  std::uint32_t uncompressedSize = 0;    // local
  std::uint32_t diskNumberStart = 0;     // central
  std::uint32_t internalAttributes = 0;  // central
  std::uint32_t externalAttributes = 0;  // central; Windows attribute bits
  std::uint32_t localHeaderOffset = 0;   // central; absolute position in the file
  // Local; the stored bytes up to the first zero; null when empty.
  std::unique_ptr<char[]> name;
  // Local; as name. Entries of one local header share one copy.
  std::shared_ptr<const char[]> extraField;
  packprobe::platform::File* archiveFile = nullptr;  // borrowed from the ZIP_File
  // localHeaderOffset + 30 + local name length + local extra-field length.
  std::uint32_t dataOffset = 0;

 private:
  // Records a failure of this entry with its name in the detail.
#if defined(__GNUC__)
  __attribute__((format(printf, 5, 6)))
#endif
  int Fail(int result, std::string_view code, std::optional<std::uint64_t> offset,
           const char* format, ...);

  int StartInflater(ZIP_ReadState* state, const detail::InflateEngine& engine);
  int ReadOnZlib(unsigned char* out, std::uint32_t window, ZIP_ReadState* state,
                 std::uint32_t* count);
  int Pump(ZIP_Sink& sink);
  int ReadFailure(std::uint32_t position, std::uint32_t length,
                  packprobe::platform::HostFault fault);
  int ReadStored(unsigned char* out, std::uint32_t window, ZIP_ReadState* state,
                 std::uint32_t* count);
  int ReadDeflated(unsigned char* out, std::uint32_t window, ZIP_ReadState* state,
                   std::uint32_t* count);
  int FillInput(ZIP_ReadState* state);
  int DataEnded(const ZIP_ReadState* state);
  // The failure an inflate step reported: out of memory, corrupt data, or
  // any other failure of the engine.
  int InflateFailure(detail::Inflater::Status status, const ZIP_ReadState* state);

  ZIP_Failure failure_;
};

// Creates a rooted directory path level by level ('/' and '\' both
// separate levels). True when the directory exists afterwards (or a file of
// that name does); false for a relative path, a path of 259 characters or
// more, or a level that cannot be created.
bool CreateDirectoryPath(std::u16string_view path);

}  // namespace vekzip
