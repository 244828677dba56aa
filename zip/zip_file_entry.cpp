#include "zip/zip_file_entry.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <limits>

#include "zip/failure.h"

namespace vekzip {
namespace {

using packprobe::platform::CreateDirectoryResult;
using packprobe::platform::File;
using packprobe::platform::HeapBuffer;
using packprobe::platform::HostFault;
using detail::HostFailure;

constexpr std::uint32_t kMethodStored = 0;
constexpr std::uint32_t kMethodDeflated = 8;

// Fixed limits of the path handling: a directory part of at most 255
// characters when a target path is split, and a working buffer of 260
// characters (terminator included) when a path is created level by level.
constexpr std::size_t kMaxDirectoryPart = 255;
constexpr std::size_t kMaxPath = 260;

bool IsSeparator(char16_t c) { return c == u'/' || c == u'\\'; }

// A name that would place the file anywhere but below the current
// directory: absolute, on a drive, or climbing with "..".
bool EscapesCurrentDirectory(std::u16string_view name) {
  if (name.empty()) return false;
  if (IsSeparator(name[0])) return true;
  if (name.size() >= 2 && name[1] == u':') return true;
  std::size_t start = 0;
  while (start <= name.size()) {
    std::size_t end = start;
    while (end < name.size() && !IsSeparator(name[end])) ++end;
    if (name.substr(start, end - start) == u"..") return true;
    start = end + 1;
  }
  return false;
}

// The drive and directory of path joined ("C:" + "\dir\"), as the platform
// path splitter gives them; nothing when the directory part is longer than
// the splitter's limit.
std::optional<std::u16string> DriveAndDirectory(std::u16string_view path) {
  const std::size_t driveLength = packprobe::platform::DriveLength(path);
  std::size_t lastSeparator = std::u16string_view::npos;
  for (std::size_t i = driveLength; i < path.size(); ++i) {
    if (packprobe::platform::IsPathSeparator(path[i])) lastSeparator = i;
  }
  const std::size_t directoryLength =
      lastSeparator == std::u16string_view::npos ? 0 : lastSeparator + 1 - driveLength;
  if (directoryLength > kMaxDirectoryPart) return std::nullopt;
  return std::u16string(path.substr(0, driveLength + directoryLength));
}

// Converts the entry's 8-bit name for use as a path; nothing when it cannot
// be converted exactly.
std::optional<std::u16string> WideName(const char* name) {
  return packprobe::platform::NarrowNameToWide(name == nullptr ? std::string_view()
                                                               : std::string_view(name));
}

// Where the first piece of the data [start, start + length) that cannot be
// read whole begins, for a file of fileSize bytes: a piece must end within
// the file, and its start must be a position that can be set (below 2^31).
std::uint64_t ReadableEnd(std::uint32_t start, std::uint32_t length, std::uint64_t fileSize) {
  constexpr std::uint64_t kPiece = ZIP_FileEntry::kPieceSize;
  constexpr std::uint64_t kPositionLimit = 0x80000000u;
  const std::uint64_t end = std::uint64_t{start} + length;
  // Pieces that start below the position limit, then those ending in the file.
  std::uint64_t limit = start + (kPositionLimit - start + kPiece - 1) / kPiece * kPiece;
  if (fileSize < end) {
    limit = std::min(limit, fileSize <= start ? std::uint64_t{start}
                                              : start + (fileSize - start) / kPiece * kPiece);
  }
  return std::min(limit, end);
}

}  // namespace

ZIP_ReadState::~ZIP_ReadState() { Release(); }

void ZIP_ReadState::Release() {
  inputBuffer.Release();
  inflater.reset();
  begun = false;
}

bool ZIP_FileEntry::IsDirectory() const {
  if (name == nullptr || name[0] == '\0') return false;
  const char last = name[std::strlen(name.get()) - 1];
  return last == '/' || (last == '\\' && compressedSize == 0 && uncompressedSize == 0);
}

int ZIP_FileEntry::Fail(int result, std::string_view code, std::optional<std::uint64_t> offset,
                        const char* format, ...) {
  char what[200];
  va_list arguments;
  va_start(arguments, format);
  std::vsnprintf(what, sizeof what, format, arguments);
  va_end(arguments);
  return detail::Fail(&failure_, result, code, offset, "entry \"%.*s\": %s",
                      detail::NameLength(Name()), Name() ? Name() : "", what);
}

int ZIP_FileEntry::Extract(const std::u16string* outputPath, bool failIfExists) {
  detail::Clear(&failure_);
  if (IsDirectory()) {
    if (outputPath != nullptr) {
      return Fail(ZIP_ERR_PARAM, "invalid-argument", std::nullopt,
                  "a directory entry cannot be written to an output path");
    }
    const std::optional<std::u16string> directory = WideName(Name());
    if (!directory || EscapesCurrentDirectory(*directory)) {
      return Fail(ZIP_ERR_PARAM, "unsafe-name", std::nullopt,
                  "the directory name cannot be converted or leaves the current directory");
    }
    return CreateDirectoryPath(*directory)
               ? ZIP_OK
               : Fail(ZIP_ERR_PARAM, "directory-failed", std::nullopt,
                      "the directory cannot be created");
  }

  std::u16string target;
  if (outputPath != nullptr) {
    target = *outputPath;
  } else {
    // The entry's own name decides where the file goes: it must stay below
    // the current directory.
    std::optional<std::u16string> own = WideName(Name());
    if (!own || EscapesCurrentDirectory(*own)) {
      return Fail(ZIP_ERR_PARAM, "unsafe-name", std::nullopt,
                  "the name cannot be converted or leaves the current directory");
    }
    target = std::move(*own);
    // Both separators divide an entry's name; the system may know only one.
    std::replace_if(target.begin(), target.end(), IsSeparator, packprobe::platform::kPathSeparator);
  }

  if (std::any_of(target.begin(), target.end(), packprobe::platform::IsPathSeparator)) {
    // Whether the directory could be made is decided by creating the file.
    if (const std::optional<std::u16string> directory = DriveAndDirectory(target)) {
      CreateDirectoryPath(*directory);
    }
  }

  File output;
  if (!output.Create(target, failIfExists ? File::Creation::kCreateNew : File::Creation::kReplace)) {
    return HostFailure(&failure_, output.fault(),
                       Fail(ZIP_ERR_CREATE, "create-failed", std::nullopt,
                            "the output file cannot be created"));
  }
  const int result = CopyTo(output);
  // The time and attributes are applied whatever the copy gave; their own
  // failures do not change the result.
  output.SetDosTime(static_cast<std::uint16_t>(modDate), static_cast<std::uint16_t>(modTime));
  output.Close();
  packprobe::platform::ApplyFileAttributes(target, externalAttributes);
  return result;
}

int ZIP_FileEntry::CopyTo(File& file) {
  // One block of output at a time, smaller for a small entry.
  const std::uint32_t chunkSize = std::clamp(uncompressedSize, 1u, kBlockSize);
  HeapBuffer chunk;
  if (!chunk.Allocate(chunkSize)) {
    return HostFailure(&failure_, HostFault::kNoMemory,
                       Fail(ZIP_ERR_NO_MEMORY, "no-memory", std::nullopt,
                            "the output chunk cannot be allocated"));
  }
  ZIP_ReadState state;
  if (const int begun = BeginRead(&state); begun != ZIP_OK) return begun;
  int result = ZIP_OK;
  bool writeFailed = false;
  for (;;) {
    std::uint32_t produced = 0;
    result = Read(chunk.data(), chunkSize, &state, &produced);
    if (result != ZIP_OK || produced == 0) break;
    if (!file.Write(chunk.data(), produced)) {
      writeFailed = true;
      break;
    }
  }
  // The failure that ended the copy is the one to explain, not the CRC-32
  // that EndRead may then find wrong.
  ZIP_Failure first;
  if (result != ZIP_OK) first = failure_;
  const int ended = EndRead(&state);
  if (result != ZIP_OK) failure_ = std::move(first);
  if (writeFailed) {
    return HostFailure(&failure_, file.fault(),
                       Fail(ZIP_ERR_CREATE, "write-failed", std::nullopt,
                            "writing the extracted data failed (the disk may be full)"));
  }
  return result != ZIP_OK ? result : ended;
}

int ZIP_FileEntry::Stream(ZIP_Sink& sink) {
  detail::Clear(&failure_);
  if (IsDirectory()) {
    return Fail(ZIP_ERR_PARAM, "invalid-argument", std::nullopt,
                "a directory entry has no data to read");
  }
  // The read path lets zlib decide every failure, so one pass gives the
  // outcome that Extract gives for the same data on either build.
  return Pump(sink);
}

// CopyTo's loop with a sink in place of the output file.
int ZIP_FileEntry::Pump(ZIP_Sink& sink) {
  const std::uint32_t chunkSize = std::clamp(uncompressedSize, 1u, kBlockSize);
  HeapBuffer chunk;
  if (!chunk.Allocate(chunkSize)) {
    return HostFailure(&failure_, HostFault::kNoMemory,
                       Fail(ZIP_ERR_NO_MEMORY, "no-memory", std::nullopt,
                            "the output chunk cannot be allocated"));
  }
  ZIP_ReadState state;
  if (const int begun = BeginRead(&state); begun != ZIP_OK) return begun;
  int result = ZIP_OK;
  bool refused = false;
  for (;;) {
    std::uint32_t produced = 0;
    result = Read(chunk.data(), chunkSize, &state, &produced);
    if (result != ZIP_OK || produced == 0) break;
    if (!sink.Write(static_cast<const unsigned char*>(chunk.data()), produced)) {
      refused = true;
      break;
    }
  }
  ZIP_Failure first;
  if (result != ZIP_OK) first = failure_;
  const int ended = EndRead(&state);
  if (result != ZIP_OK) failure_ = std::move(first);
  if (refused) {
    return Fail(ZIP_ERR_CREATE, "write-failed", std::nullopt, "the receiver refused the data");
  }
  return result != ZIP_OK ? result : ended;
}

int ZIP_FileEntry::BeginRead(ZIP_ReadState* state) {
  detail::Clear(&failure_);
  if (state == nullptr) {
    return Fail(ZIP_ERR_PARAM, "invalid-argument", std::nullopt, "no read state was given");
  }
  state->Release();  // a state may be reused; nothing of a former read survives
  state->crc = 0;
  state->compressedLeft = compressedSize;
  state->uncompressedLeft = uncompressedSize;
  state->file = archiveFile;
  state->filePosition = dataOffset;
  state->pieceByPiece = false;
  state->engine = &detail::BuildEngine();
  if (archiveFile == nullptr || !archiveFile->SetPosition(dataOffset)) {
    return HostFailure(&failure_, archiveFile != nullptr ? archiveFile->fault() : HostFault::kNone,
                       Fail(ZIP_ERR_SEEK, "seek-failed", dataOffset,
                            "the data cannot be reached (positions stop at 2 GiB)"));
  }
  // Without the size, every piece counts as readable until a read says
  // otherwise.
  std::uint64_t fileSize = 0;
  if (!archiveFile->Size(&fileSize)) fileSize = std::uint64_t{dataOffset} + compressedSize;
  state->readableEnd = ReadableEnd(dataOffset, compressedSize, fileSize);
  if (method != kMethodStored) {
    if (const int started = StartInflater(state, *state->engine); started != ZIP_OK) {
      return started;
    }
    // Stored data is read straight into the caller's buffer; only deflated
    // data needs an input block, no larger than the data.
    const std::uint32_t blockSize = std::clamp(
        (compressedSize + kPieceSize - 1) / kPieceSize * kPieceSize, kPieceSize, kBlockSize);
    if (!state->inputBuffer.Allocate(blockSize)) {
      state->Release();
      return HostFailure(&failure_, HostFault::kNoMemory,
                         Fail(ZIP_ERR_NO_MEMORY, "no-memory", std::nullopt,
                              "the input buffer cannot be allocated"));
    }
  }
  state->begun = true;
  return ZIP_OK;
}

int ZIP_FileEntry::Read(void* buffer, std::uint32_t size, ZIP_ReadState* state,
                        std::uint32_t* produced) {
  if (produced != nullptr) *produced = 0;
  if (method != kMethodStored && method != kMethodDeflated) {
    return Fail(ZIP_ERR_BAD_FORMAT, "unsupported-method", std::nullopt,
                "compression method %u is neither stored (0) nor deflated (8)", method);
  }
  // A state that was never begun (or already ended) cannot be read.
  if (state == nullptr || buffer == nullptr || size == 0 || !state->begun ||
      state->file == nullptr || (method == kMethodDeflated && state->inflater == nullptr)) {
    return Fail(ZIP_ERR_PARAM, "invalid-argument", std::nullopt,
                "a read needs a begun state and a buffer of at least one byte");
  }
  const std::uint32_t window = std::min(size, state->uncompressedLeft);
  std::uint32_t count = 0;
  const int result =
      window == 0 ? ZIP_OK
      : method == kMethodStored
          ? ReadStored(static_cast<unsigned char*>(buffer), window, state, &count)
          : ReadDeflated(static_cast<unsigned char*>(buffer), window, state, &count);
  if (produced != nullptr) *produced = count;
  if (result != ZIP_ERR_END_OF_DATA || count == 0) return result;
  // A read whose data ran out delivers what it produced; the next read,
  // producing nothing, reports the end.
  detail::Clear(&failure_);
  return ZIP_OK;
}

int ZIP_FileEntry::StartInflater(ZIP_ReadState* state, const detail::InflateEngine& engine) {
  state->engine = &engine;
  state->inflater.reset();
  switch (engine.create(&state->inflater)) {
    case detail::InflaterInit::kOk:
      return ZIP_OK;
    case detail::InflaterInit::kNoMemory:
      return HostFailure(&failure_, HostFault::kNoMemory,
                         Fail(ZIP_ERR_FAILED, "no-memory", std::nullopt,
                              "the inflate state cannot be allocated"));
    case detail::InflaterInit::kFailed:
      break;
  }
  return Fail(ZIP_ERR_FAILED, "inflate-failed", std::nullopt,
              "the inflate state cannot be set up");
}

// Stored data goes from the archive straight into the caller's buffer in
// one read; its CRC-32 is taken there.
int ZIP_FileEntry::ReadStored(unsigned char* out, std::uint32_t window, ZIP_ReadState* state,
                              std::uint32_t* count) {
  if (state->compressedLeft == 0) return DataEnded(state);
  const std::uint32_t n = std::min(window, state->compressedLeft);
  // Every piece these bytes touch must be readable whole.
  if (state->filePosition + std::uint64_t{n} > state->readableEnd) {
    return ReadFailure(state->filePosition, n, HostFault::kNone);
  }
  std::uint32_t got = 0;
  if (!state->file->ReadAt(state->filePosition, out, n, &got)) {
    return ReadFailure(state->filePosition, n, state->file->fault());
  }
  if (got != n) return ReadFailure(state->filePosition, n, HostFault::kNone);
  state->filePosition += n;
  state->compressedLeft -= n;
  state->crc = state->engine->crc32(state->crc, out, n);
  state->uncompressedLeft -= n;
  *count = n;
  // Data shorter than the declared size ends here; the next read says so.
  return n < window ? DataEnded(state) : ZIP_OK;
}

int ZIP_FileEntry::ReadDeflated(unsigned char* out, std::uint32_t window, ZIP_ReadState* state,
                                std::uint32_t* count) {
  using Status = detail::Inflater::Status;
  int result = ZIP_OK;
  bool outOfMemory = false;
  while (*count < window && result == ZIP_OK) {
    if (state->inflater->InputLeft() == 0 && state->compressedLeft > 0) {
      result = FillInput(state);
      if (result != ZIP_OK) break;
    }
    std::uint32_t d = 0;
    const Status status = state->inflater->Inflate(out + *count, window - *count, &d);
    state->crc = state->engine->crc32(state->crc, out + *count, d);
    state->uncompressedLeft -= d;
    *count += d;
    switch (status) {
      case Status::kProgress:
        break;
      case Status::kStreamEnd:
      case Status::kStalled:
        // The stream ended, or its input did, before the declared size.
        if (*count < window) result = DataEnded(state);
        break;
      case Status::kNoMemory:
      case Status::kCorrupt:
      case Status::kFailed:
        outOfMemory = status == Status::kNoMemory;
        result = InflateFailure(status, state);
        break;
    }
  }
  // The end of the stream is not awaited: once the declared bytes are out,
  // their CRC-32 decides, whatever follows them in the data.
  //
  // Failures of the data, and the last bytes with a wrong CRC-32, are
  // decided by zlib when another engine produced them. A lack of memory is
  // the host's and stands.
  const bool wrongCrc =
      result == ZIP_OK && state->uncompressedLeft == 0 && state->crc != crc;
  if (!state->engine->decides && !outOfMemory && (result != ZIP_OK || wrongCrc)) {
    return ReadOnZlib(out, window, state, count);
  }
  return result;
}

// Runs the read again on zlib from the start of the data: the bytes that
// earlier reads delivered are decoded again into out and dropped, then this
// read's window is filled. From here on the state reads with zlib.
int ZIP_FileEntry::ReadOnZlib(unsigned char* out, std::uint32_t window, ZIP_ReadState* state,
                              std::uint32_t* count) {
  const std::uint32_t delivered = uncompressedSize - state->uncompressedLeft - *count;
  detail::Clear(&failure_);  // the other engine's failure is not the outcome
  *count = 0;
  state->crc = 0;
  state->compressedLeft = compressedSize;
  state->uncompressedLeft = uncompressedSize;
  state->filePosition = dataOffset;
  state->pieceByPiece = false;
  if (const int started = StartInflater(state, detail::ZlibEngine()); started != ZIP_OK) {
    return started;
  }
  std::uint32_t dropped = 0;
  while (dropped < delivered) {
    std::uint32_t got = 0;
    const int result = ReadDeflated(out, std::min(window, delivered - dropped), state, &got);
    if (result != ZIP_OK) return result;
    dropped += got;
  }
  return ReadDeflated(out, window, state, count);
}

// Reads the next input of a deflated entry: a block of whole pieces, or,
// once a block read has failed, one piece, so that a failing read fails
// at the piece where pieces read one by one would.
int ZIP_FileEntry::FillInput(ZIP_ReadState* state) {
  const std::uint32_t position = state->filePosition;
  std::uint32_t n = std::min(static_cast<std::uint32_t>(state->inputBuffer.size()),
                             state->compressedLeft);
  if (state->pieceByPiece) n = std::min(n, kPieceSize);
  if (position >= state->readableEnd) {
    return ReadFailure(position, std::min(n, kPieceSize), HostFault::kNone);
  }
  n = static_cast<std::uint32_t>(std::min<std::uint64_t>(n, state->readableEnd - position));
  std::uint32_t got = 0;
  const bool read = state->file->ReadAt(position, state->inputBuffer.data(), n, &got);
  if (!read || got != n) {
    if (state->pieceByPiece || n <= kPieceSize) {
      return ReadFailure(position, n, read ? HostFault::kNone : state->file->fault());
    }
    state->pieceByPiece = true;
    return FillInput(state);
  }
  state->filePosition += n;
  state->compressedLeft -= n;
  state->inflater->SetInput(state->inputBuffer.data(), n);
  return ZIP_OK;
}

int ZIP_FileEntry::DataEnded(const ZIP_ReadState* state) {
  return Fail(ZIP_ERR_END_OF_DATA, "data-ends-early", state->filePosition,
              "the data ends with %u of %u bytes still to come", state->uncompressedLeft,
              uncompressedSize);
}

int ZIP_FileEntry::InflateFailure(detail::Inflater::Status status, const ZIP_ReadState* state) {
  using Status = detail::Inflater::Status;
  if (status == Status::kNoMemory) {
    return HostFailure(&failure_, HostFault::kNoMemory,
                       Fail(ZIP_ERR_NO_MEMORY, "no-memory", std::nullopt,
                            "the inflate window cannot be allocated"));
  }
  if (status == Status::kCorrupt) {
    return Fail(ZIP_ERR_BAD_FORMAT, "deflate-corrupt", std::nullopt,
                "the deflated data is corrupt after %u bytes of output",
                uncompressedSize - state->uncompressedLeft);
  }
  return Fail(ZIP_ERR_FAILED, "inflate-failed", std::nullopt, "inflating the data failed");
}

int ZIP_FileEntry::ReadFailure(std::uint32_t position, std::uint32_t length, HostFault fault) {
  return HostFailure(&failure_, fault,
                     Fail(ZIP_ERR_FAILED, "read-failed", position,
                          "%u bytes of data at 0x%X cannot be read: the archive is shorter than "
                          "its directory says, or the read failed",
                          length, position));
}

int ZIP_FileEntry::EndRead(ZIP_ReadState* state) {
  if (state == nullptr) {
    return Fail(ZIP_ERR_PARAM, "invalid-argument", std::nullopt, "no read state was given");
  }
  state->Release();
  if (state->uncompressedLeft == 0 && state->crc != crc) {
    return Fail(ZIP_ERR_CRC, "crc-mismatch", dataOffset,
                "the data's CRC-32 is 0x%08X where the headers say 0x%08X", state->crc, crc);
  }
  return ZIP_OK;
}

bool CreateDirectoryPath(std::u16string_view path) {
  const std::size_t root = packprobe::platform::RootLength(path);
  if (root == 0) return false;
  const CreateDirectoryResult whole = packprobe::platform::MakeDirectory(path);
  if (whole == CreateDirectoryResult::kCreated || whole == CreateDirectoryResult::kAlreadyExists) {
    return true;
  }
  // "Name too long" is a failure too: the directory does not exist after it.
  std::u16string working(path);
  if (!packprobe::platform::IsPathSeparator(working.back())) {
    working.push_back(packprobe::platform::kPathSeparator);
  }
  if (working.size() + 1 > kMaxPath) return false;
  for (std::size_t i = root; i < working.size(); ++i) {
    if (!packprobe::platform::IsPathSeparator(working[i])) continue;
    const CreateDirectoryResult level =
        packprobe::platform::MakeDirectory(std::u16string_view(working).substr(0, i));
    if (level != CreateDirectoryResult::kCreated && level != CreateDirectoryResult::kAlreadyExists) {
      return false;
    }
    working[i] = packprobe::platform::kPathSeparator;
  }
  return true;
}

}  // namespace vekzip
