// A portable reader of the version resource of a Windows program file (PE32
// or PE32+), and the query walk over a VS_VERSIONINFO block.
//
// The reader reads the headers, the section table, the three levels of the
// resource tree and the version data through positional reads, never the
// whole file or a whole section, so a program of hundreds of megabytes costs
// a few small reads. Every offset, size and count taken from the file is
// checked against the file before use; a malformed file is reported as such,
// never read outside its bounds. Nothing here depends on the host platform.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "util/byte_reader.h"

namespace packprobe {

// Positional reads from a file or from memory.
class PositionalInput {
 public:
  virtual ~PositionalInput() = default;

  // The number of bytes that can be read.
  virtual std::uint64_t Size() const = 0;

  // Fills out with the bytes at [offset, offset + out.size()), a range that
  // the caller keeps inside Size(). False when the read failed.
  virtual bool ReadAt(std::uint64_t offset, std::span<std::uint8_t> out) const = 0;
};

// Positional reads from bytes in memory, which must outlive the input.
class MemoryInput final : public PositionalInput {
 public:
  explicit MemoryInput(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

  std::uint64_t Size() const override { return bytes_.size(); }
  bool ReadAt(std::uint64_t offset, std::span<std::uint8_t> out) const override;

 private:
  std::span<const std::uint8_t> bytes_;
};

enum class PeVersionResult {
  kOk,
  kNoVersionResource,  // a well-formed program file without a version resource
  kMalformed,          // not a program file, or its headers or resource tree are broken
  kReadError,          // the input failed to deliver bytes that it holds
};

// The most bytes of version data that are read. A VS_VERSIONINFO block
// states its length in 16 bits, so nothing past this can belong to it.
inline constexpr std::size_t kMaxVersionDataSize = 0xFFFF;

// Finds the version resource (type 16, ID 1) of the program file and reads
// its data, at most kMaxVersionDataSize bytes, into *data. Of several
// languages it takes language neutral (0), else U.S. English (0x0409), else
// the first one listed. A program whose sections run past the end of the
// file, or whose version resource claims more bytes than its section holds
// in the file, is malformed. *data is left empty unless the result is kOk.
PeVersionResult ReadVersionResource(const PositionalInput& input, std::vector<std::uint8_t>* data);

// A range of bytes of a file.
struct FileRange {
  std::uint64_t offset = 0;
  std::uint64_t size = 0;
};

// Where in the file the section lies that holds the resource directory: its
// raw data as the file holds it (cut at the end of the file). kOk with the
// range; otherwise what ReadVersionResource would find wrong with the
// headers (kNoVersionResource, kMalformed), or kReadError when the input
// could not deliver them.
PeVersionResult FindResourceSection(const PositionalInput& input, FileRange* range);

// The text stored under queryPath in a VS_VERSIONINFO block, e.g.
// "\StringFileInfo\040904B0\Comments". Keys are separated by "\" (empty keys
// are skipped) and compare without regard to ASCII case. The text is the
// value's characters up to the first null, never past the end of the node
// that holds it; a declared value length of 0 is the empty text. Nothing when
// the block holds no such node or the path names no key.
std::optional<std::u16string> QueryVersionText(ByteReader block, std::u16string_view queryPath);

}  // namespace packprobe
