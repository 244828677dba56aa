// Reading the setup program's version resource without writing the setup
// program anywhere.
//
// The entry streams through inflate and CRC-32 once, as extraction does,
// while a capture plan keeps only the byte ranges that the version-resource
// walk reads: first the head of the program (DOS and PE headers, section
// table), then, learned from it, the raw range of the section that holds the
// resource tree, then whatever else the walk asks for (version data in
// another section, headers past the head). The walk runs on the captured
// bytes as soon as they arrive; a range it needs that the stream has already
// passed is captured in a further pass over the entry, at most kMaxPasses
// passes in all. When the ranges needed would hold more than the bound, or
// the passes run out, the caller extracts the program as before.
//
// When asked, the first pass also takes the program's Authenticode digests
// in the algorithms guessed (the table that names the right ones comes at
// the end of the stream) and keeps its certificate table; nothing more is
// digested once the headers show a program without a table, or no program
// at all. When the table names an algorithm that was not guessed, one more
// pass takes that digest, so the result is the same as if every algorithm
// had been computed; each algorithm computed costs a full digest of the
// program, which is why they are not all computed at once.
//
// Memory: the captured ranges and the certificate table (together at most
// the bound) plus the archive reader's own buffers and the digester's head
// (at most kMaxAuthenticodeHeaders), whatever the size of the entry.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "pe/authenticode.h"
#include "pe/pe_version_resource.h"
#include "zip/zip_file_entry.h"
#include "zip/zip_result.h"

namespace packprobe {

// The most bytes of a setup program kept in memory to read its version
// resource. A program whose needed ranges hold more is extracted instead.
inline constexpr std::size_t kSetupCaptureBound = std::size_t{64} << 20;

struct SetupCapture {
  enum class Outcome {
    kRead,          // the entry streamed whole and sound; `version` is the walk's result
    kStreamFailed,  // the entry's data failed (as extraction would): zipResult, failure
    kFallback,      // the ranges needed exceed the bound, or the passes ran out
    kNoMemory,      // the captured ranges could not be allocated
  };
  Outcome outcome = Outcome::kFallback;
  int zipResult = vekzip::ZIP_OK;
  vekzip::ZIP_Failure failure;
  PeVersionResult version = PeVersionResult::kMalformed;
  std::vector<std::uint8_t> versionData;  // the version data when version is kOk
  int passes = 0;                         // passes made over the entry
  std::size_t heldBytes = 0;              // bytes captured in the end, the table included
  // When signatures were asked for and the outcome is kRead: what the
  // passes found, ready for CheckSignatures. For a program without a table,
  // or no program, the layout alone (no digests: none is needed).
  std::optional<AuthenticodeDigests> authenticode;
};

// At most this many passes over one entry, for the walk and the digests
// together; beyond them the caller extracts the program.
inline constexpr int kMaxSetupPasses = 4;

// The digest a setup program's signatures most likely use when nothing else
// is known: SHA-256, what signers use by default.
inline constexpr crypto::DigestAlgorithm kSetupDigestGuess[] = {crypto::DigestAlgorithm::kSha256};

// Streams the entry (of an open archive) and reads the version resource of
// the program it holds from the captured ranges, keeping at most bound bytes;
// with signatures, also its Authenticode digests (those its table needs,
// taken in the first pass when guess holds them) and certificate table.
SetupCapture CaptureSetupVersion(vekzip::ZIP_FileEntry& entry,
                                 std::size_t bound = kSetupCaptureBound, bool signatures = false,
                                 std::span<const crypto::DigestAlgorithm> guess = kSetupDigestGuess);

}  // namespace packprobe
