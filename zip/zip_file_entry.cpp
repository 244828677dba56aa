#include "zip/zip_file_entry.h"

#include <algorithm>
#include <cstring>
#include <limits>

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

// The drive and directory of path joined ("C:" + "\\dir\\"), as the platform
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

int ZIP_FileEntry::Extract(const std::u16string* outputPath, bool failIfExists) {
  if (IsDirectory()) {
    if (outputPath != nullptr) return ZIP_ERR_PARAM;
    const std::optional<std::u16string> directory = WideName(Name());
    if (!directory || EscapesCurrentDirectory(*directory)) return ZIP_ERR_PARAM;
    return CreateDirectoryPath(*directory) ? ZIP_OK : ZIP_ERR_PARAM;
  }

  std::u16string target;
  if (outputPath != nullptr) {
    target = *outputPath;
  } else {
    // The entry's own name decides where the file goes: it must stay below
    // the current directory.
    std::optional<std::u16string> own = WideName(Name());
    if (!own || EscapesCurrentDirectory(*own)) return ZIP_ERR_PARAM;
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
    return ZIP_ERR_CREATE;
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
  if (!chunk.Allocate(kChunkSize)) return ZIP_ERR_NO_MEMORY;
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
  if (writeFailed) return ZIP_ERR_CREATE;
  return result != ZIP_OK ? result : ended;
}

int ZIP_FileEntry::BeginRead(ZIP_ReadState* state) {
  if (state == nullptr) return ZIP_ERR_PARAM;
  state->Release();  // a state may be reused; nothing of a former read survives
  state->crc = 0;
  state->compressedLeft = compressedSize;
  state->uncompressedLeft = uncompressedSize;
  state->file = archiveFile;
  state->filePosition = dataOffset;
  if (archiveFile == nullptr || !archiveFile->SetPosition(dataOffset)) return ZIP_ERR_SEEK;
  state->stream = z_stream{};
  state->stream.avail_in = 0;
  state->stream.total_out = 0;
  if (method != kMethodStored) {
    state->stream.zalloc = InflateAlloc;
    state->stream.zfree = InflateFree;
    state->stream.opaque = Z_NULL;
    if (inflateInit2(&state->stream, -MAX_WBITS) != Z_OK) return ZIP_ERR_FAILED;
    state->inflating = true;
  }
  if (!state->inputBuffer.Allocate(kChunkSize)) {
    state->Release();
    return ZIP_ERR_NO_MEMORY;
  }
  return ZIP_OK;
}

int ZIP_FileEntry::Read(void* buffer, std::uint32_t size, ZIP_ReadState* state,
                        std::uint32_t* produced) {
  if (produced != nullptr) *produced = 0;
  if (method != kMethodStored && method != kMethodDeflated) return ZIP_ERR_BAD_FORMAT;
  // A state that was never begun (or already ended) has no input buffer.
  if (state == nullptr || buffer == nullptr || size == 0 || state->inputBuffer.empty() ||
      state->file == nullptr || (method == kMethodDeflated && !state->inflating)) {
    return ZIP_ERR_PARAM;
  }
  auto* out = static_cast<unsigned char*>(buffer);
  const std::uint32_t window = std::min(size, state->uncompressedLeft);
  std::uint32_t count = 0;
  z_stream& stream = state->stream;

  // Ends a read whose data ran out: what was produced is delivered, and the
  // next read, producing nothing, reports the end.
  const auto dataEnded = [&]() {
    if (produced != nullptr) *produced = count;
    return count > 0 ? ZIP_OK : ZIP_ERR_END_OF_DATA;
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
        return ZIP_ERR_FAILED;
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
        return ZIP_ERR_FAILED;
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
        return ZIP_ERR_NO_MEMORY;
      case Z_DATA_ERROR:
      case Z_NEED_DICT:
        if (produced != nullptr) *produced = count;
        return ZIP_ERR_BAD_FORMAT;
      default:
        if (produced != nullptr) *produced = count;
        return ZIP_ERR_FAILED;
    }
  }
  if (produced != nullptr) *produced = count;
  return ZIP_OK;
}

int ZIP_FileEntry::EndRead(ZIP_ReadState* state) {
  if (state == nullptr) return ZIP_ERR_PARAM;
  state->Release();
  if (state->uncompressedLeft == 0 && state->crc != crc) return ZIP_ERR_CRC;
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
