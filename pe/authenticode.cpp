#include "pe/authenticode.h"

#include <algorithm>
#include <new>

#include "util/byte_reader.h"

namespace packprobe {
namespace {

using crypto::DigestAlgorithm;
using platform::HostFault;
using crypto::SignatureState;

constexpr std::uint16_t kPe32Magic = 0x010B;
constexpr std::uint16_t kPe32PlusMagic = 0x020B;
constexpr std::uint64_t kDosHeaderSize = 64;
constexpr std::uint64_t kPeHeaderSize = 24;  // "PE\0\0" and the COFF header
constexpr std::uint64_t kChecksumField = 64;
constexpr std::uint32_t kSecurityDirectoryIndex = 4;
constexpr std::uint16_t kCertificateRevision = 0x0200;
constexpr std::uint16_t kCertificateTypePkcs7 = 0x0002;
constexpr std::size_t kCertificateHeaderSize = 8;
// The piece a file is read in: few reads for a large file, and little to
// hold.
constexpr std::size_t kReadPiece = 1 << 20;

// Reads [offset, offset + length) into *out when it lies inside both the
// input and the head bound; kNotProgram when it does not.
AuthenticodeLayoutStatus ReadHeaderBytes(const PositionalInput& input, std::uint64_t offset,
                                         std::uint64_t length, std::vector<std::uint8_t>* out) {
  const std::uint64_t limit = std::min(input.Size(), kMaxAuthenticodeHeaders);
  if (offset > limit || length > limit - offset) return AuthenticodeLayoutStatus::kNotProgram;
  out->assign(static_cast<std::size_t>(length), 0);
  if (!input.ReadAt(offset, *out)) return AuthenticodeLayoutStatus::kReadError;
  return AuthenticodeLayoutStatus::kSigned;  // read: go on
}

}  // namespace

std::string_view AuthenticodeLayoutText(AuthenticodeLayoutStatus status) {
  switch (status) {
    case AuthenticodeLayoutStatus::kUnsigned:
    case AuthenticodeLayoutStatus::kSigned: return {};
    case AuthenticodeLayoutStatus::kNotProgram: return "the file's program headers cannot be read";
    case AuthenticodeLayoutStatus::kTableOutOfBounds:
      return "the certificate table runs past the end of the file";
    case AuthenticodeLayoutStatus::kTableOverlapsHeaders:
      return "the certificate table starts inside the program headers";
    case AuthenticodeLayoutStatus::kTableMisaligned:
      return "the certificate table does not start on an 8-byte boundary";
    case AuthenticodeLayoutStatus::kTableNotAtEnd:
      return "bytes follow the certificate table that no signature covers";
    case AuthenticodeLayoutStatus::kTableTooLarge: return "the certificate table is too large";
    case AuthenticodeLayoutStatus::kReadError: return "the file could not be read";
  }
  return {};
}

AuthenticodeLayout ReadAuthenticodeLayout(const PositionalInput& input) {
  AuthenticodeLayout layout;
  layout.fileSize = input.Size();
  std::vector<std::uint8_t> bytes;
  auto read = [&](std::uint64_t offset, std::uint64_t length) {
    const AuthenticodeLayoutStatus status = ReadHeaderBytes(input, offset, length, &bytes);
    if (status != AuthenticodeLayoutStatus::kSigned) layout.status = status;
    return status == AuthenticodeLayoutStatus::kSigned;
  };

  if (!read(0, kDosHeaderSize)) return layout;
  if (bytes[0] != 'M' || bytes[1] != 'Z') return layout;
  std::uint32_t peOffset = 0;
  ByteReader(bytes).ReadU32(0x3C, &peOffset);
  if (!read(peOffset, kPeHeaderSize)) return layout;
  if (bytes[0] != 'P' || bytes[1] != 'E' || bytes[2] != 0 || bytes[3] != 0) return layout;
  std::uint16_t optionalSize = 0;
  ByteReader(bytes).ReadU16(4 + 16, &optionalSize);

  const std::uint64_t optional = std::uint64_t{peOffset} + kPeHeaderSize;
  if (!read(optional, 2)) return layout;
  std::uint16_t magic = 0;
  ByteReader(bytes).ReadU16(0, &magic);
  if (magic != kPe32Magic && magic != kPe32PlusMagic) return layout;
  layout.pe32Plus = magic == kPe32PlusMagic;
  // The data directory follows the fields that differ in width.
  const std::uint64_t countField = layout.pe32Plus ? 108 : 92;
  const std::uint64_t entryField = countField + 4 + kSecurityDirectoryIndex * 8;
  // The security entry's bytes are left out of the digest whether or not
  // the header declares that many entries, as signers do; so they must be
  // in the file.
  if (!read(optional, entryField + 8)) return layout;
  const ByteReader header(bytes);
  std::uint32_t sizeOfHeaders = 0, directoryCount = 0, tableOffset = 0, tableSize = 0;
  header.ReadU32(60, &sizeOfHeaders);
  header.ReadU32(countField, &directoryCount);
  header.ReadU32(entryField, &tableOffset);
  header.ReadU32(entryField + 4, &tableSize);
  layout.checksumOffset = optional + kChecksumField;
  layout.directoryEntryOffset = optional + entryField;
  layout.headersEnd = std::max<std::uint64_t>(layout.directoryEntryOffset + 8, sizeOfHeaders);

  // A header that declares no security entry has no certificate table.
  if (directoryCount <= kSecurityDirectoryIndex || optionalSize < entryField + 8 ||
      (tableOffset == 0 && tableSize == 0)) {
    layout.status = AuthenticodeLayoutStatus::kUnsigned;
    return layout;
  }
  layout.table = {tableOffset, tableSize};
  const std::uint64_t size = layout.fileSize;
  if (tableOffset > size || tableSize > size - tableOffset) {
    layout.status = AuthenticodeLayoutStatus::kTableOutOfBounds;
  } else if (tableOffset < layout.headersEnd) {
    layout.status = AuthenticodeLayoutStatus::kTableOverlapsHeaders;
  } else if (tableOffset % 8 != 0) {
    layout.status = AuthenticodeLayoutStatus::kTableMisaligned;
  } else if (std::uint64_t{tableOffset} + tableSize != size) {
    layout.status = AuthenticodeLayoutStatus::kTableNotAtEnd;
  } else if (tableSize > kMaxCertificateTableSize) {
    layout.status = AuthenticodeLayoutStatus::kTableTooLarge;
  } else {
    layout.status = AuthenticodeLayoutStatus::kSigned;
  }
  return layout;
}

std::string_view CertificateTableText(CertificateTableStatus status) {
  switch (status) {
    case CertificateTableStatus::kOk: return {};
    case CertificateTableStatus::kEmpty: return "the certificate table holds no entry";
    case CertificateTableStatus::kShortEntry:
      return "an entry of the certificate table is shorter than its header";
    case CertificateTableStatus::kEntryPastEnd:
      return "an entry of the certificate table runs past its end";
    case CertificateTableStatus::kBadRevision:
      return "an entry of the certificate table has a revision other than 2.0";
    case CertificateTableStatus::kBadPadding:
      return "an entry of the certificate table is padded with bytes other than zeros";
    case CertificateTableStatus::kNoSignature:
      return "the certificate table holds no PKCS #7 signature";
  }
  return {};
}

CertificateTable ReadCertificateTable(std::span<const std::uint8_t> bytes) {
  CertificateTable table;
  const ByteReader reader(bytes);
  std::size_t at = 0;
  bool any = false;
  // Each round moves at least 8 bytes on, so the walk ends.
  while (at < bytes.size()) {
    std::uint32_t length = 0;
    std::uint16_t revision = 0, type = 0;
    if (!reader.ReadU32(at, &length) || !reader.ReadU16(at + 4, &revision) ||
        !reader.ReadU16(at + 6, &type)) {
      table.status = CertificateTableStatus::kEntryPastEnd;
      return table;
    }
    if (length < kCertificateHeaderSize) {
      table.status = CertificateTableStatus::kShortEntry;
      return table;
    }
    if (!reader.Contains(at, length)) {
      table.status = CertificateTableStatus::kEntryPastEnd;
      return table;
    }
    if (revision != kCertificateRevision) {
      table.status = CertificateTableStatus::kBadRevision;
      return table;
    }
    any = true;
    if (type == kCertificateTypePkcs7) {
      table.signatures.push_back(bytes.subspan(at + kCertificateHeaderSize, length - kCertificateHeaderSize));
    }
    const std::size_t end = at + length;
    const std::size_t padded = std::min<std::size_t>(bytes.size(), (end + 7) / 8 * 8);
    // Padding is where a signer could smuggle bytes into the file.
    if (!std::all_of(bytes.begin() + static_cast<std::ptrdiff_t>(end),
                     bytes.begin() + static_cast<std::ptrdiff_t>(padded),
                     [](std::uint8_t b) { return b == 0; })) {
      table.status = CertificateTableStatus::kBadPadding;
      return table;
    }
    at = padded;
  }
  table.status = !any ? CertificateTableStatus::kEmpty
                      : table.signatures.empty() ? CertificateTableStatus::kNoSignature
                                                 : CertificateTableStatus::kOk;
  return table;
}

std::vector<DigestAlgorithm> CertificateTableAlgorithms(std::span<const std::uint8_t> bytes) {
  std::vector<DigestAlgorithm> algorithms;
  for (const std::span<const std::uint8_t> der : ReadCertificateTable(bytes).signatures) {
    for (const DigestAlgorithm algorithm : crypto::AuthenticodeAlgorithms(der)) {
      if (std::find(algorithms.begin(), algorithms.end(), algorithm) == algorithms.end()) {
        algorithms.push_back(algorithm);
      }
    }
  }
  return algorithms;
}

namespace {

// The head of a streamed file: reads of bytes not yet held fail, so that the
// layout reader says kReadError until the head is in.
class HeadInput final : public PositionalInput {
 public:
  HeadInput(std::span<const std::uint8_t> head, std::uint64_t fileSize)
      : head_(head), fileSize_(fileSize) {}
  std::uint64_t Size() const override { return fileSize_; }
  bool ReadAt(std::uint64_t offset, std::span<std::uint8_t> out) const override {
    if (offset > head_.size() || out.size() > head_.size() - offset) return false;
    std::copy_n(head_.begin() + static_cast<std::ptrdiff_t>(offset), out.size(), out.begin());
    return true;
  }

 private:
  std::span<const std::uint8_t> head_;
  std::uint64_t fileSize_;
};

}  // namespace

AuthenticodeDigester::AuthenticodeDigester(std::uint64_t fileSize,
                                           std::span<const DigestAlgorithm> algorithms)
    : fileSize_(fileSize) {
  try {
    digests_.reserve(algorithms.size());
    for (const DigestAlgorithm algorithm : algorithms) digests_.emplace_back(algorithm);
  } catch (const std::bad_alloc&) {
    noMemory_ = true;
  }
}

bool AuthenticodeDigester::TryLayout() {
  const std::uint64_t headLimit = std::min(fileSize_, kMaxAuthenticodeHeaders);
  AuthenticodeLayout layout = ReadAuthenticodeLayout(HeadInput(head_, fileSize_));
  if (layout.status == AuthenticodeLayoutStatus::kReadError) {
    if (head_.size() < headLimit) return false;
    // Cannot happen: the reader reads nothing beyond the head bound.
    layout.status = AuthenticodeLayoutStatus::kNotProgram;
  }
  if (layout.Digestible()) {
    skipped_.push_back({layout.checksumOffset, 4});
    skipped_.push_back({layout.directoryEntryOffset, 8});
    if (layout.status == AuthenticodeLayoutStatus::kSigned) {
      skipped_.push_back({layout.table.offset, fileSize_ - layout.table.offset});
    }
    std::sort(skipped_.begin(), skipped_.end(),
              [](const FileRange& a, const FileRange& b) { return a.offset < b.offset; });
  }
  layout_ = layout;
  return true;
}

void AuthenticodeDigester::Take(std::uint64_t offset, std::span<const std::uint8_t> bytes) {
  if (!layout_->Digestible()) return;
  const std::uint64_t end = offset + bytes.size();
  auto hash = [&](std::uint64_t from, std::uint64_t to) {
    for (crypto::Digest& digest : digests_) digest.Update(bytes.data() + (from - offset), to - from);
  };
  std::uint64_t at = offset;
  for (const FileRange& skip : skipped_) {
    const std::uint64_t skipEnd = skip.offset + skip.size;
    if (skipEnd <= at) continue;
    if (skip.offset >= end) break;
    if (skip.offset > at) hash(at, skip.offset);
    at = std::min(end, skipEnd);
  }
  if (at < end) hash(at, end);

  if (layout_->status == AuthenticodeLayoutStatus::kSigned && end > layout_->table.offset) {
    const std::uint64_t from = std::max(offset, layout_->table.offset);
    table_.insert(table_.end(), bytes.begin() + static_cast<std::ptrdiff_t>(from - offset),
                  bytes.end());
  }
}

bool AuthenticodeDigester::Update(std::uint64_t offset, std::span<const std::uint8_t> bytes) {
  if (misfed_ || noMemory_) return false;
  if (offset != position_ || bytes.size() > fileSize_ - position_) {
    misfed_ = true;
    return false;
  }
  try {
    if (!layout_) {
      const std::uint64_t headLimit = std::min(fileSize_, kMaxAuthenticodeHeaders);
      const std::size_t taken =
          static_cast<std::size_t>(std::min<std::uint64_t>(bytes.size(), headLimit - head_.size()));
      head_.insert(head_.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(taken));
      position_ += taken;
      bytes = bytes.subspan(taken);
      if (!TryLayout()) return true;
      Take(0, head_);
      head_ = {};
    }
    if (!bytes.empty()) {
      Take(position_, bytes);
      position_ += bytes.size();
    }
  } catch (const std::bad_alloc&) {
    noMemory_ = true;
    return false;
  }
  return true;
}

AuthenticodeDigests AuthenticodeDigester::Finish() {
  AuthenticodeDigests result;
  result.complete = !misfed_ && position_ == fileSize_;
  try {
    if (result.complete && !layout_ && !noMemory_) {
      // A file shorter than its headers would be: read what there is.
      head_.resize(static_cast<std::size_t>(std::min(fileSize_, kMaxAuthenticodeHeaders)));
      TryLayout();
    }
    if (layout_) result.layout = *layout_;
    result.layout.fileSize = fileSize_;
    if (!noMemory_ && result.complete && result.layout.Digestible()) {
      for (crypto::Digest& digest : digests_) {
        const std::optional<crypto::DigestValue> value = digest.Finish();
        if (!value) {
          noMemory_ = true;
          break;
        }
        result.digests.push_back(*value);
      }
      if (result.layout.status == AuthenticodeLayoutStatus::kSigned) result.table = std::move(table_);
    }
  } catch (const std::bad_alloc&) {
    noMemory_ = true;
  }
  if (noMemory_) {
    result.fault = HostFault::kNoMemory;
    result.digests.clear();
    result.table.clear();
  }
  return result;
}

namespace {

// The judgement of a file once its layout is known to be signed and its
// table is read.
void JudgeTable(std::span<const std::uint8_t> tableBytes,
                std::span<const crypto::DigestValue> digests, const crypto::TrustSettings& trust,
                std::int64_t now, FileSignatures* result) {
  const CertificateTable table = ReadCertificateTable(tableBytes);
  if (table.status != CertificateTableStatus::kOk) {
    result->state = SignatureState::kMalformed;
    result->problem = CertificateTableText(table.status);
    return;
  }
  for (const std::span<const std::uint8_t> der : table.signatures) {
    crypto::SignatureCheck check = crypto::VerifyAuthenticode(der, digests, trust, now);
    if (check.fault != HostFault::kNone) {
      result->fault = check.fault;
      result->signatures.clear();
      return;
    }
    result->signatures.push_back(std::move(check.facts));
  }
  result->state = result->signatures.front().state;
  result->problem = result->signatures.front().problem;
}

// The layout's own verdict: unsigned, malformed, or nothing to add (signed).
bool JudgeLayout(const AuthenticodeLayout& layout, FileSignatures* result) {
  switch (layout.status) {
    case AuthenticodeLayoutStatus::kSigned: return false;
    case AuthenticodeLayoutStatus::kUnsigned: result->state = SignatureState::kUnsigned; return true;
    case AuthenticodeLayoutStatus::kNotProgram:
      // No program headers, so no place for a signature: nothing signed it.
      // What is wrong with the file is the inspection's to say.
      result->state = SignatureState::kUnsigned;
      result->problem = AuthenticodeLayoutText(layout.status);
      return true;
    case AuthenticodeLayoutStatus::kReadError: result->fault = HostFault::kIo; return true;
    default:
      result->state = SignatureState::kMalformed;
      result->problem = AuthenticodeLayoutText(layout.status);
      return true;
  }
}

}  // namespace

FileSignatures CheckSignatures(const AuthenticodeDigests& digests,
                               const crypto::TrustSettings& trust, std::int64_t now) {
  FileSignatures result;
  if (digests.fault != HostFault::kNone) {
    result.fault = digests.fault;
    return result;
  }
  if (!digests.complete) {
    result.state = SignatureState::kMalformed;
    result.problem = "the file did not stream whole";
    return result;
  }
  try {
    if (!JudgeLayout(digests.layout, &result)) JudgeTable(digests.table, digests.digests, trust, now, &result);
  } catch (const std::bad_alloc&) {
    result = FileSignatures{};
    result.fault = HostFault::kNoMemory;
  }
  return result;
}

FileSignatures CheckFileSignatures(const PositionalInput& input,
                                   const crypto::TrustSettings& trust, std::int64_t now) {
  FileSignatures result;
  try {
    const AuthenticodeLayout layout = ReadAuthenticodeLayout(input);
    if (JudgeLayout(layout, &result)) return result;
    std::vector<std::uint8_t> table(static_cast<std::size_t>(layout.table.size));
    if (!input.ReadAt(layout.table.offset, table)) {
      result.fault = HostFault::kIo;
      return result;
    }
    // A table that cannot be read needs no digest; else only the digests
    // that its signatures use.
    const CertificateTable entries = ReadCertificateTable(table);
    if (entries.status != CertificateTableStatus::kOk) {
      result.state = SignatureState::kMalformed;
      result.problem = CertificateTableText(entries.status);
      return result;
    }
    AuthenticodeDigester digester(layout.fileSize, CertificateTableAlgorithms(table));
    std::vector<std::uint8_t> piece(kReadPiece);
    // The table is in hand already: the digest needs the bytes before it.
    for (std::uint64_t at = 0; at < layout.table.offset;) {
      const std::size_t length =
          static_cast<std::size_t>(std::min<std::uint64_t>(piece.size(), layout.table.offset - at));
      const std::span<std::uint8_t> bytes(piece.data(), length);
      if (!input.ReadAt(at, bytes)) {
        result.fault = HostFault::kIo;
        return result;
      }
      digester.Update(at, bytes);
      at += length;
    }
    digester.Update(layout.table.offset, table);
    return CheckSignatures(digester.Finish(), trust, now);
  } catch (const std::bad_alloc&) {
    result = FileSignatures{};
    result.fault = HostFault::kNoMemory;
  }
  return result;
}

}  // namespace packprobe
