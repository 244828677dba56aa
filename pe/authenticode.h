// The Authenticode layout of a program file (PE32 or PE32+): where its
// signature lives, which bytes its digest covers, and the signatures of its
// certificate table, judged against the file (crypto/authenticode.h).
//
// The Authenticode digest covers every byte of the file, in file order,
// except three ranges: the optional header's CheckSum field (4 bytes), the
// security entry of the data directory (8 bytes, the certificate table's
// file offset and size) and the certificate table itself, from its offset
// to the end of the file. Bytes after the last section (an appended
// archive) and the padding a signer adds before the table are covered.
//
// Two ways in: a file read by position (CheckFileSignatures reads the
// layout and the table first, then digests the file once with just the
// algorithms its signatures use), and a program that streams by once, such
// as an archive entry being inflated (AuthenticodeDigester learns the layout
// from the head of the stream, digests the rest as it passes, and keeps the
// certificate table from the end). Every offset and size read from the file
// is checked before use; a malformed layout or table is a value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "pe/pe_version_resource.h"
#include "crypto/authenticode.h"
#include "crypto/digest.h"
#include "platform/host_fault.h"

namespace packprobe {

enum class AuthenticodeLayoutStatus {
  kUnsigned,               // a program whose security entry is empty (or absent)
  kSigned,                 // a program with a certificate table where one belongs
  kNotProgram,             // no DOS or PE signature, an unknown optional header, or
                           // headers cut off by the end of the file or lying
                           // beyond kMaxAuthenticodeHeaders
  kTableOutOfBounds,       // the table runs past the end of the file
  kTableOverlapsHeaders,   // the table starts inside the headers
  kTableMisaligned,        // the table does not start on an 8-byte boundary
  kTableNotAtEnd,          // bytes follow the table, which no signature would cover
  kTableTooLarge,          // the table holds more than kMaxCertificateTableSize bytes
  kReadError,              // the input failed to deliver bytes that it holds
};

// One English sentence for a status other than kUnsigned and kSigned.
std::string_view AuthenticodeLayoutText(AuthenticodeLayoutStatus status);

// The headers up to the security entry must end within this many bytes of
// the start of the file: the layout of a streamed program is read from its
// head, which is held that long at most.
inline constexpr std::uint64_t kMaxAuthenticodeHeaders = 64 * 1024;

// The most bytes of certificate table that are read and kept. Tables are a
// few kilobytes (a handful of certificates per signature); this is far
// beyond any real one and bounds what a hostile file can make us hold.
inline constexpr std::uint64_t kMaxCertificateTableSize = 16 * 1024 * 1024;

struct AuthenticodeLayout {
  AuthenticodeLayoutStatus status = AuthenticodeLayoutStatus::kNotProgram;
  bool pe32Plus = false;
  std::uint64_t fileSize = 0;
  // Set for kUnsigned, kSigned and the kTable* statuses.
  std::uint64_t checksumOffset = 0;        // the CheckSum field, 4 bytes
  std::uint64_t directoryEntryOffset = 0;  // the security entry, 8 bytes
  std::uint64_t headersEnd = 0;            // the end of the headers as the table must respect them
  FileRange table;                         // as the security entry states it

  // Whether the ranges say what the Authenticode digest covers.
  bool Digestible() const {
    return status == AuthenticodeLayoutStatus::kUnsigned || status == AuthenticodeLayoutStatus::kSigned;
  }
};

// Reads the layout from the headers of the program file (input.Size() is
// its length). kReadError only when the input failed.
AuthenticodeLayout ReadAuthenticodeLayout(const PositionalInput& input);

// ---------------------------------------------------------------------------
// The certificate table.

enum class CertificateTableStatus {
  kOk,           // at least one PKCS #7 signature
  kEmpty,        // no entry at all
  kShortEntry,   // an entry's length is less than its own 8-byte header
  kEntryPastEnd, // an entry runs past the end of the table
  kBadRevision,  // an entry's revision is not 0x0200
  kBadPadding,   // bytes other than zeros pad an entry to 8 bytes
  kNoSignature,  // entries, but none of type 2 (PKCS #7 SignedData)
};

// One English sentence for a status other than kOk.
std::string_view CertificateTableText(CertificateTableStatus status);

struct CertificateTable {
  CertificateTableStatus status = CertificateTableStatus::kEmpty;
  // The DER of each PKCS #7 entry (its length less the header), in order,
  // viewing the bytes given. Entries of other types are skipped.
  std::vector<std::span<const std::uint8_t>> signatures;
};

// Reads the WIN_CERTIFICATE entries of a certificate table: each a 32-bit
// length (header included), the revision 0x0200, a type, the data; each
// padded with zeros to a multiple of 8 bytes (the last one's padding may be
// missing at the end of the table).
CertificateTable ReadCertificateTable(std::span<const std::uint8_t> table);

// The digests that checking the signatures of a certificate table needs,
// each once, in the order they are first named (nothing for a table that
// cannot be read): what a file's digest pass must compute.
std::vector<crypto::DigestAlgorithm> CertificateTableAlgorithms(std::span<const std::uint8_t> table);

// ---------------------------------------------------------------------------
// The digest.

// What the digester found when the stream ended.
struct AuthenticodeDigests {
  platform::HostFault fault = platform::HostFault::kNone;  // kNoMemory: nothing below is whole
  bool complete = false;   // exactly the file's bytes arrived, in order
  AuthenticodeLayout layout;
  // One per algorithm asked for, in that order, when complete and the
  // layout is digestible.
  std::vector<crypto::DigestValue> digests;
  // The certificate table's bytes when complete and the layout is kSigned.
  std::vector<std::uint8_t> table;
};

// The Authenticode digests of a program file that streams by once, in file
// order, in chunks of any size. The layout is read from the head of the
// stream, which is held (at most kMaxAuthenticodeHeaders bytes) until the
// headers are in; the certificate table is kept as it passes. Memory: the
// head, the table, the digests' states.
class AuthenticodeDigester {
 public:
  // fileSize: the length of the file that will stream by; algorithms: the
  // digests to compute (each once).
  AuthenticodeDigester(std::uint64_t fileSize, std::span<const crypto::DigestAlgorithm> algorithms);

  // Takes the bytes at [offset, offset + bytes.size()), which must follow
  // those taken so far and stay within the file. False, and the digester is
  // spent (Finish says incomplete), when they do not, or when memory ran out.
  bool Update(std::uint64_t offset, std::span<const std::uint8_t> bytes);

  // The layout once the head has arrived, else null: lets a caller know
  // early where the table is.
  const AuthenticodeLayout* layout() const { return layout_ ? &*layout_ : nullptr; }

  // The result; the digester is spent afterwards.
  AuthenticodeDigests Finish();

 private:
  bool TryLayout();
  void Take(std::uint64_t offset, std::span<const std::uint8_t> bytes);

  std::uint64_t fileSize_;
  std::uint64_t position_ = 0;
  bool misfed_ = false;
  bool noMemory_ = false;
  std::vector<crypto::Digest> digests_;
  std::vector<std::uint8_t> head_;
  std::optional<AuthenticodeLayout> layout_;
  std::vector<FileRange> skipped_;  // sorted, disjoint
  std::vector<std::uint8_t> table_;
};

// ---------------------------------------------------------------------------
// The judgement of a file.

struct FileSignatures {
  platform::HostFault fault = platform::HostFault::kNone;  // the system failed; nothing else holds
  // kUnsigned (also for a file whose headers are no program's: problem says
  // so); kMalformed for a broken layout or table (problem says how);
  // else the state of the first signature, which Windows goes by.
  crypto::SignatureState state = crypto::SignatureState::kUnsigned;
  std::string problem;
  std::vector<crypto::SignatureFacts> signatures;  // one per PKCS #7 entry, in order
};

// Judges a file from what its digester found (complete, the digests those
// its signatures use).
FileSignatures CheckSignatures(const AuthenticodeDigests& digests,
                               const crypto::TrustSettings& trust, std::int64_t now);

// Reads the program file's layout and table, then the file once for the
// digests its signatures use, and judges it. A failed read is the host's
// I/O fault.
FileSignatures CheckFileSignatures(const PositionalInput& input,
                                   const crypto::TrustSettings& trust, std::int64_t now);

}  // namespace packprobe
