#include "component/setup_capture.h"

#include "component/capture_budget.h"

#include <algorithm>
#include <new>
#include <optional>

namespace packprobe {
namespace {

// The least a range is captured: the head of a program (its DOS header, PE
// headers and a usual section table) fits, and a walk that reads a few
// neighbouring small records misses once rather than for each.
constexpr std::uint64_t kMinRange = 4096;

// The captured bytes of one entry, read by the version-resource walk as if
// they were the whole program; and the sink that captures them as the entry
// streams by.
class Capture final : public PositionalInput, public vekzip::ZIP_Sink {
 public:
  Capture(std::uint64_t size, std::size_t bound, bool signatures,
          std::span<const crypto::DigestAlgorithm> guess)
      : size_(size), bound_(bound), signatures_(signatures) {
    if (signatures) digester_.emplace(size, guess);
  }
  ~Capture() override { ReleaseCapture(held_); }
  Capture(const Capture&) = delete;
  Capture& operator=(const Capture&) = delete;

  // -- PositionalInput: only captured bytes can be read; a read of anything
  // else fails and is remembered as the walk's miss.
  std::uint64_t Size() const override { return size_; }

  bool ReadAt(std::uint64_t offset, std::span<std::uint8_t> out) const override {
    if (out.empty()) return true;
    if (const Range* range = Holding(offset, out.size())) {
      std::copy_n(range->bytes.begin() + static_cast<std::ptrdiff_t>(offset - range->offset),
                  out.size(), out.begin());
      return true;
    }
    if (!miss_) miss_ = FileRange{offset, out.size()};
    return false;
  }

  // -- ZIP_Sink.
  bool Write(const unsigned char* data, std::uint32_t size) override {
    const std::uint64_t start = position_;
    position_ += size;
    if (digester_) Digest(start, {data, size});
    if (stopped_) return false;
    chunk_ = {data, size};
    chunkStart_ = start;
    for (Range& range : ranges_) Fill(range);
    // The walk goes on while what it waits for has arrived; each round
    // plans at least one more range or ends, and the ranges are bounded.
    try {
      while (!stopped_ && !done_ && pending_ && Holding(pending_->offset, pending_->size)) Walk();
    } catch (const std::bad_alloc&) {
      noMemory_ = true;
      stopped_ = true;
    }
    chunk_ = {};
    // Once the result is known nothing more is captured; the stream goes on
    // to its end for the CRC-32 and the sizes.
    return !stopped_;
  }

  // Runs passes over the entry until the walk has its result.
  SetupCapture Run(vekzip::ZIP_FileEntry& entry) {
    SetupCapture result;
    Walk();
    for (;;) {
      ++result.passes;
      position_ = 0;
      const int streamed = entry.Stream(*this);
      if (noMemory_) {
        result.outcome = SetupCapture::Outcome::kNoMemory;
        return result;
      }
      if (stopped_) {
        result.outcome = SetupCapture::Outcome::kFallback;
        return result;
      }
      if (streamed != vekzip::ZIP_OK) {
        result.outcome = SetupCapture::Outcome::kStreamFailed;
        result.zipResult = streamed;
        result.failure = entry.lastFailure();
        return result;
      }
      // The pass streamed every byte and its CRC-32 held: the digests are
      // of the program the archive holds.
      if (signatures_) FinishDigests();
      if (done_ && !digester_) break;
      // What the walk waits for was passed before it was known, or the
      // table asks for a digest not taken: another pass, unless the passes
      // ran out.
      if (result.passes >= kMaxSetupPasses) {
        result.outcome = SetupCapture::Outcome::kFallback;
        return result;
      }
      for (Range& range : ranges_) {
        if (range.filled < range.bytes.size()) range.filled = 0;
      }
    }
    result.outcome = SetupCapture::Outcome::kRead;
    result.version = walkResult_;
    result.versionData = std::move(walkData_);
    result.heldBytes = held_;
    result.authenticode = std::move(authenticode_);
    return result;
  }

 private:
  struct Range {
    std::uint64_t offset = 0;
    std::vector<std::uint8_t> bytes;
    std::size_t filled = 0;  // bytes captured from the start of the range
    std::uint64_t end() const { return offset + bytes.size(); }
  };

  // The range whose captured bytes hold [offset, offset + length).
  const Range* Holding(std::uint64_t offset, std::uint64_t length) const {
    for (const Range& range : ranges_) {
      if (offset >= range.offset && offset - range.offset <= range.filled &&
          length <= range.filled - (offset - range.offset)) {
        return &range;
      }
    }
    return nullptr;
  }

  // Copies what the chunk in hand holds of the range's next bytes. A range
  // whose next byte the stream has passed waits for the next pass.
  void Fill(Range& range) {
    if (range.filled == range.bytes.size() || chunk_.empty()) return;
    const std::uint64_t next = range.offset + range.filled;
    const std::uint64_t chunkEnd = chunkStart_ + chunk_.size();
    if (next < chunkStart_ || next >= chunkEnd) return;
    const std::uint64_t count = std::min(chunkEnd, range.end()) - next;
    std::copy_n(chunk_.begin() + static_cast<std::ptrdiff_t>(next - chunkStart_), count,
                range.bytes.begin() + static_cast<std::ptrdiff_t>(range.filled));
    range.filled += static_cast<std::size_t>(count);
  }

  // Takes what a whole pass's digester found. After the first pass, a
  // digester for the algorithms the table needs but the guess left out
  // runs in the next pass; after that one, its digests join the others.
  void FinishDigests() {
    if (!authenticode_) {
      if (settled_) {
        authenticode_.emplace();
        authenticode_->complete = true;
        authenticode_->layout = *settled_;
      } else {
        authenticode_ = digester_->Finish();
      }
      digester_.reset();
      if (authenticode_->fault != platform::HostFault::kNone || !authenticode_->complete ||
          authenticode_->layout.status != AuthenticodeLayoutStatus::kSigned) {
        return;
      }
      std::vector<crypto::DigestAlgorithm> missing;
      for (const crypto::DigestAlgorithm algorithm : CertificateTableAlgorithms(authenticode_->table)) {
        if (std::none_of(authenticode_->digests.begin(), authenticode_->digests.end(),
                         [&](const crypto::DigestValue& d) { return d.algorithm == algorithm; })) {
          missing.push_back(algorithm);
        }
      }
      if (missing.empty()) return;
      digester_.emplace(size_, missing);
      tableHeld_ = false;  // the new digester keeps the table again
      return;
    }
    if (!digester_) return;
    AuthenticodeDigests more = digester_->Finish();
    digester_.reset();
    if (more.fault != platform::HostFault::kNone || !more.complete) {
      authenticode_->fault = more.fault;
      authenticode_->complete = more.complete;
      authenticode_->digests.clear();
      authenticode_->table.clear();
      return;
    }
    authenticode_->digests.insert(authenticode_->digests.end(), more.digests.begin(),
                                  more.digests.end());
  }

  // Feeds the digester. Once the headers show that no certificate table
  // follows, the layout alone decides and nothing more is digested; the
  // table the digester will keep counts as one more captured range.
  void Digest(std::uint64_t offset, std::span<const std::uint8_t> bytes) {
    if (!digester_->Update(offset, bytes)) return;  // spent: its Finish says why
    const AuthenticodeLayout* layout = digester_->layout();
    if (layout == nullptr) return;
    if (layout->status != AuthenticodeLayoutStatus::kSigned) {
      settled_ = *layout;
      digester_.reset();
    } else if (!tableHeld_) {
      tableHeld_ = true;
      const std::uint64_t table = layout->table.size;  // at most kMaxCertificateTableSize
      if (table > bound_ - held_ || !ReserveCapture(static_cast<std::size_t>(table))) {
        stopped_ = true;
        return;
      }
      held_ += static_cast<std::size_t>(table);
    }
  }

  // Runs the walk over what is captured; a miss plans the range it needs.
  void Walk() {
    if (!section_) {
      // Once the headers tell where it lies, the section that holds the
      // resource tree is planned whole: its directories and, mostly, the
      // version data then cost one range. A section beyond the bound sends
      // the program to extraction, whatever the walk would read of it.
      FileRange range;
      miss_.reset();
      if (FindResourceSection(*this, &range) == PeVersionResult::kOk) {
        section_ = range;
        Plan(range);
        if (stopped_) return;
      }
    }
    miss_.reset();
    std::vector<std::uint8_t> data;
    const PeVersionResult r = ReadVersionResource(*this, &data);
    if (r != PeVersionResult::kReadError || !miss_) {
      done_ = true;
      walkResult_ = r;
      walkData_ = std::move(data);
      pending_.reset();
      return;
    }
    pending_ = miss_;
    Plan(*miss_);
  }

  // Makes sure a range that holds the missed bytes is planned.
  void Plan(const FileRange& miss) {
    for (const Range& range : ranges_) {
      if (miss.offset >= range.offset && miss.offset - range.offset <= range.bytes.size() &&
          miss.size <= range.bytes.size() - (miss.offset - range.offset)) {
        return;  // planned already; it fills in this pass or the next
      }
    }
    // The walk checks every read against the size, so the miss lies inside.
    FileRange want{miss.offset, std::max(miss.size, kMinRange)};
    if (section_ && miss.offset >= section_->offset &&
        miss.offset - section_->offset < section_->size &&
        miss.size <= section_->size - (miss.offset - section_->offset)) {
      want = *section_;
    }
    want.size = std::min(want.size, size_ - want.offset);
    // More than one inspection may hold, or than the captures running at
    // once may hold together: the caller extracts instead.
    if (want.size > bound_ - held_ || !ReserveCapture(static_cast<std::size_t>(want.size))) {
      stopped_ = true;
      return;
    }
    held_ += static_cast<std::size_t>(want.size);
    try {
      Range range;
      range.offset = want.offset;
      range.bytes.resize(static_cast<std::size_t>(want.size));
      ranges_.push_back(std::move(range));
    } catch (const std::bad_alloc&) {
      noMemory_ = true;
      stopped_ = true;
      return;
    }
    Fill(ranges_.back());
  }

  const std::uint64_t size_;
  const std::size_t bound_;
  const bool signatures_;
  // The Authenticode digests: the digester while the bytes stream by, or
  // the layout once it needs no digest; then what the passes found.
  std::optional<AuthenticodeDigester> digester_;
  std::optional<AuthenticodeLayout> settled_;
  bool tableHeld_ = false;
  std::optional<AuthenticodeDigests> authenticode_;
  std::vector<Range> ranges_;
  std::size_t held_ = 0;
  std::uint64_t position_ = 0;  // stream position after the last chunk
  std::span<const unsigned char> chunk_;  // the chunk in hand while Write runs
  std::uint64_t chunkStart_ = 0;
  std::optional<FileRange> section_;
  mutable std::optional<FileRange> miss_;  // the first read that found nothing
  std::optional<FileRange> pending_;       // what the walk waits for
  bool done_ = false;
  bool stopped_ = false;
  bool noMemory_ = false;
  PeVersionResult walkResult_ = PeVersionResult::kMalformed;
  std::vector<std::uint8_t> walkData_;
};

}  // namespace

SetupCapture CaptureSetupVersion(vekzip::ZIP_FileEntry& entry, std::size_t bound,
                                 bool signatures, std::span<const crypto::DigestAlgorithm> guess) {
  try {
    Capture capture(entry.uncompressedSize, bound, signatures, guess);
    return capture.Run(entry);
  } catch (const std::bad_alloc&) {
    SetupCapture result;
    result.outcome = SetupCapture::Outcome::kNoMemory;
    return result;
  }
}

}  // namespace packprobe
