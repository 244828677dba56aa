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

constexpr std::uint32_t kMethodStored = 0;
constexpr std::uint32_t kMethodDeflated = 8;

// Fixed limits of the path handling: a directory part of at most 255
// characters when a target path is split, and a working buffer of 260
// characters (terminator included) when a path is created level by level.
constexpr std::size_t kMaxDirectoryPart = 255;
constexpr std::size_t kMaxPath = 260;

bool IsSeparator(char16_t c) { return c == u'/' || c == u'\\'; }

// zlib's allocations go to the process heap like the reader's own buffers,
// so that simulated exhaustion reaches them too.
voidpf InflateAlloc(voidpf, uInt items, uInt size) {
  if (size != 0 && items > std::numeric_limits<std::size_t>::max() / size) return Z_NULL;
  return packprobe::platform::HeapAllocate(std::size_t{items} * size);
}

void InflateFree(voidpf, voidpf block) { packprobe::platform::HeapRelease(block); }

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
  std::size_t driveLength = path.size() >= 2 && path[1] == u':' ? 2 : 0;
  std::size_t lastSeparator = std::u16string_view::npos;
  for (std::size_t i = driveLength; i < path.size(); ++i) {
    if (IsSeparator(path[i])) lastSeparator = i;
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

// Reads the next n bytes of the entry's data at the state's position and
// moves past them. False when the position cannot be set, the read fails or
// the archive ends first (it is shorter than its directory says).
bool ReadArchive(ZIP_ReadState& state, unsigned char* into, std::uint32_t n) {
  std::uint32_t got = 0;
  if (!state.file->ReadAt(state.filePosition, into, n, &got) || got != n) return false;
  state.filePosition += n;
  state.compressedLeft -= n;
  return true;
}

}  // namespace

ZIP_ReadState::~ZIP_ReadState() { Release(); }

void ZIP_ReadState::Release() {
  inputBuffer.Release();
  if (inflating) {
    inflateEnd(&stream);
    inflating = false;
  }
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
  }

  if (std::any_of(target.begin(), target.end(), IsSeparator)) {
    // Whether the directory could be made is decided by creating the file.
    if (const std::optional<std::u16string> directory = DriveAndDirectory(target)) {
      CreateDirectoryPath(*directory);
    }
  }

  File output;
  if (!output.Create(target, failIfExists ? File::Creation::kCreateNew : File::Creation::kReplace)) {
    return Fail(ZIP_ERR_CREATE, "create-failed", std::nullopt, "the output file cannot be created");
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
  HeapBuffer chunk;
  if (!chunk.Allocate(kChunkSize)) {
    return Fail(ZIP_ERR_NO_MEMORY, "no-memory", std::nullopt,
                "the output chunk cannot be allocated");
  }
  ZIP_ReadState state;
  if (const int begun = BeginRead(&state); begun != ZIP_OK) return begun;
  int result = ZIP_OK;
  bool writeFailed = false;
  for (;;) {
    std::uint32_t produced = 0;
    result = Read(chunk.data(), kChunkSize, &state, &produced);
    if (result != ZIP_OK || produced == 0) break;
    if (!file.Write(chunk.data(), produced)) {
      writeFailed = true;
      break;
    }
  }
  const int ended = EndRead(&state);
  if (writeFailed) {
    return Fail(ZIP_ERR_CREATE, "write-failed", std::nullopt,
                "writing the extracted data failed (the disk may be full)");
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
  if (archiveFile == nullptr || !archiveFile->SetPosition(dataOffset)) {
    return Fail(ZIP_ERR_SEEK, "seek-failed", dataOffset,
                "the data cannot be reached (positions stop at 2 GiB)");
  }
  state->stream = z_stream{};
  state->stream.avail_in = 0;
  state->stream.total_out = 0;
  if (method != kMethodStored) {
    state->stream.zalloc = InflateAlloc;
    state->stream.zfree = InflateFree;
    state->stream.opaque = Z_NULL;
    if (const int init = inflateInit2(&state->stream, -MAX_WBITS); init != Z_OK) {
      return Fail(ZIP_ERR_FAILED, init == Z_MEM_ERROR ? "no-memory" : "inflate-failed",
                  std::nullopt, "the inflate state cannot be set up");
    }
    state->inflating = true;
  }
  if (!state->inputBuffer.Allocate(kChunkSize)) {
    state->Release();
    return Fail(ZIP_ERR_NO_MEMORY, "no-memory", std::nullopt,
                "the input buffer cannot be allocated");
  }
  return ZIP_OK;
}

int ZIP_FileEntry::Read(void* buffer, std::uint32_t size, ZIP_ReadState* state,
                        std::uint32_t* produced) {
  if (produced != nullptr) *produced = 0;
  if (method != kMethodStored && method != kMethodDeflated) {
    return Fail(ZIP_ERR_BAD_FORMAT, "unsupported-method", std::nullopt,
                "compression method %u is neither stored (0) nor deflated (8)", method);
  }
  // A state that was never begun (or already ended) has no input buffer.
  if (state == nullptr || buffer == nullptr || size == 0 || state->inputBuffer.empty() ||
      state->file == nullptr || (method == kMethodDeflated && !state->inflating)) {
    return Fail(ZIP_ERR_PARAM, "invalid-argument", std::nullopt,
                "a read needs a begun state and a buffer of at least one byte");
  }
  auto* out = static_cast<unsigned char*>(buffer);
  const std::uint32_t window = std::min(size, state->uncompressedLeft);
  std::uint32_t count = 0;
  z_stream& stream = state->stream;

  // Ends a read whose data ran out: what was produced is delivered, and the
  // next read, producing nothing, reports the end.
  const auto dataEnded = [&]() {
    if (produced != nullptr) *produced = count;
    if (count > 0) return ZIP_OK;
    return Fail(ZIP_ERR_END_OF_DATA, "data-ends-early", state->filePosition,
                "the data ends with %u of %u bytes still to come", state->uncompressedLeft,
                uncompressedSize);
  };

  while (count < window) {
    if (method == kMethodStored) {
      // Stored data goes straight from the archive into the caller's
      // buffer, in the same pieces of at most 16 KiB; staging it in the
      // input buffer would only add a copy.
      if (state->compressedLeft == 0) return dataEnded();  // the data ended early
      const std::uint32_t n = std::min({kChunkSize, state->compressedLeft, window - count});
      if (!ReadArchive(*state, out + count, n)) {
        if (produced != nullptr) *produced = count;
        return ReadFailure(state->filePosition, n);
      }
      state->crc = static_cast<std::uint32_t>(crc32(state->crc, out + count, n));
      state->uncompressedLeft -= n;
      count += n;
      continue;
    }

    if (stream.avail_in == 0 && state->compressedLeft > 0) {
      const std::uint32_t n = std::min(kChunkSize, state->compressedLeft);
      if (!ReadArchive(*state, state->inputBuffer.data(), n)) {
        if (produced != nullptr) *produced = count;
        return ReadFailure(state->filePosition, n);
      }
      stream.next_in = state->inputBuffer.data();
      stream.avail_in = n;
    }

    const uInt inputBefore = stream.avail_in;
    stream.next_out = out + count;
    stream.avail_out = window - count;
    const int status = inflate(&stream, Z_SYNC_FLUSH);
    const std::uint32_t d = window - count - stream.avail_out;
    state->crc = static_cast<std::uint32_t>(crc32(state->crc, out + count, d));
    state->uncompressedLeft -= d;
    count += d;
    switch (status) {
      case Z_OK:
        // zlib reports a call without progress as Z_BUF_ERROR; should it
        // not, the read must still end.
        if (d == 0 && stream.avail_in == inputBefore) return dataEnded();
        break;
      case Z_STREAM_END:
      case Z_BUF_ERROR:  // no input left: the data ended early
        return dataEnded();
      case Z_MEM_ERROR:
        if (produced != nullptr) *produced = count;
        return Fail(ZIP_ERR_NO_MEMORY, "no-memory", std::nullopt,
                    "the inflate window cannot be allocated");
      case Z_DATA_ERROR:
      case Z_NEED_DICT:
        if (produced != nullptr) *produced = count;
        return Fail(ZIP_ERR_BAD_FORMAT, "deflate-corrupt", state->filePosition,
                    "the deflated data is corrupt after %u bytes of output",
                    uncompressedSize - state->uncompressedLeft);
      default:
        if (produced != nullptr) *produced = count;
        return Fail(ZIP_ERR_FAILED, "inflate-failed", std::nullopt, "inflating the data failed");
    }
  }
  if (produced != nullptr) *produced = count;
  return ZIP_OK;
}

int ZIP_FileEntry::ReadFailure(std::uint32_t position, std::uint32_t length) {
  return Fail(ZIP_ERR_FAILED, "read-failed", position,
              "%u bytes of data at 0x%X cannot be read: the archive is shorter than its "
              "directory says, or the read failed",
              length, position);
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
  if (working.back() != u'\\') working.push_back(u'\\');
  if (working.size() + 1 > kMaxPath) return false;
  for (std::size_t i = root; i < working.size(); ++i) {
    if (!IsSeparator(working[i])) continue;
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
