// The record of one inspected component file.
//
// Constructing a ComponentInfo runs the whole inspection: the existence test,
// the metadata file and "veksetup.exe" read from the archive at the end of
// the component file, both version reads, the display name and the
// firmware-or-software class. A constructed record is always complete; its
// outcome is in the fields.
//
// The component file is opened once, and the stub, the archive and both
// entries are read through that one open file, so one record never mixes two
// files that were renamed over each other meanwhile. The metadata entry is
// inflated into memory and parsed there. The setup program streams through
// inflate and CRC-32 while only the byte ranges its version resource needs
// are kept (component/setup_capture.h); a program that needs more than the
// capture bound, and every setup program when the system's own version
// service is asked, is extracted into a private work directory that goes
// with the inspection. Nothing else is ever written.
//
// With trust given, the inspection also checks the Authenticode signatures
// of the component file (its digest taken in the same pass as the SHA-256)
// and of the setup program (digested as it streams by, or read back where
// it was extracted anyway).
#pragma once

#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "component/exit_codes.h"
#include "component/inspection_fault.h"
#include "component/setup_capture.h"
#include "component/version_number.h"
#include "crypto/authenticode.h"
#include "pe/authenticode.h"
#include "pe/version_info.h"
#include "platform/host_fault.h"
#include "crypto/sha256.h"

namespace packprobe::platform {
class File;
class WorkDirectory;
}
namespace vekzip {
class ZIP_File;
}

namespace packprobe {

// How an inspection reads the versions.
struct InspectionOptions {
  // Ask the system's own version service, by path, for both versions, with
  // the setup program extracted into the work directory (PACKPROBE on
  // Windows). Otherwise the portable reader reads them from the open
  // component file and from the captured ranges of the setup program.
  bool systemVersionService = false;
  // The most bytes of the setup program kept in memory before it is
  // extracted instead.
  std::size_t captureBound = kSetupCaptureBound;
  // Also take the SHA-256 of the whole component file, through the same
  // open file and inside the same identity check as every other read, so
  // that the digest is of the file the record describes.
  bool digest = false;
  // Check the Authenticode signatures of the component file and of its setup
  // program against this trust (shared by every check, outlives the
  // inspection); null: no signatures are checked.
  const crypto::TrustSettings* trust = nullptr;
  // Seconds since 1970 (UTC): certificates of a signature without a
  // timestamp are judged at this time.
  std::int64_t now = 0;

  // What PACKPROBE does on this system: the system's version service where
  // it has one of its own (Windows), the portable reader elsewhere.
  static InspectionOptions ForPackprobe();
};

class ComponentInfo {
 public:
  // Status codes of a failed inspection (component/exit_codes.h).
  static constexpr int kStatusMissing = packprobe::kStatusMissing;
  static constexpr int kStatusInvalid = packprobe::kStatusInvalid;
  static constexpr int kStatusSystemError = packprobe::kStatusSystemError;

  // Inspects the file at path (null: no component given). The record keeps
  // referring to *path, which must outlive it.
  explicit ComponentInfo(const std::u16string* path, const InspectionOptions& options = {});
  ComponentInfo(const ComponentInfo&) = delete;
  ComponentInfo& operator=(const ComponentInfo&) = delete;

  std::u16string displayName;    // English display name from the metadata; empty until read
  std::u16string componentFile;  // file-name stem of the path followed by ".exe"
  std::u16string message;        // text of the last failure recorded
  VersionNumber stubVersion = 0;
  VersionNumber setupVersion = 0;  // -1: the component holds no "veksetup.exe"
  int status = 0;                  // 0, or one of the kStatus codes
  bool isFirmware = false;
  bool isSoftware = false;
  bool inspected = false;  // the inspection ran to its end with status 0
  const std::u16string* componentPath = nullptr;  // borrowed
  // Every failure recorded, in order, with where and why. The status and
  // message above stay the verdict's contract.
  std::vector<InspectionFault> faults;

  // The largest metadata file that is read. No real one comes near it; a
  // larger one is refused as unreadable (status 6) without being extracted.
  static constexpr std::uint32_t kMaxMetadataSize = 16u << 20;

  // What the inspection read, for reports beyond the information block.
  // None of it takes part in the verdict.
  std::optional<std::u16string> stubVersionText;   // the whole "Comments" string
  std::optional<std::u16string> setupVersionText;  // the setup program's whole "FileVersion" string
  std::optional<std::u16string> category;          // the English category text
  // The size of the component file as opened, and its SHA-256 when
  // InspectionOptions::digest asked for it and the whole file could be read
  // (otherwise a fault of step kDigest, status 0, says why), also when the
  // inspection failed. Nothing when the file was not opened.
  std::optional<std::uint64_t> fileSize;
  std::optional<crypto::Sha256Digest> fileSha256;
  // Whether the archive holds "veksetup.exe" (true also when it cannot be
  // extracted); nothing when the inspection stopped before it could tell.
  std::optional<bool> holdsSetup;
  // The setup program was written into the work directory (the fallback
  // beyond the capture bound, or the system's version service).
  bool setupExtracted = false;
  // With InspectionOptions::trust: the component file's signatures once the
  // file was opened (also when the inspection failed afterwards), and the
  // setup program's once it streamed whole (captured or extracted). Nothing
  // when not checked or not reached, or when the system failed to check
  // them (a fault of step kCheckSignatures, status 6, says why). Forgotten
  // with everything else when the file changed while it was read.
  std::optional<FileSignatures> fileSignatures;
  std::optional<FileSignatures> setupSignatures;

  // Reads the VEKStub version from the "Comments" string of the component
  // file's version resource into stubVersion. True when the stored number is
  // not 0; otherwise records status 5 (status 6 when the host failed).
  bool ReadStubVersion();

  // Reads the VEKSetup version from the "FileVersion" string of the setup
  // program at setupPath into setupVersion; leaves it at 0 when there is none
  // (a fault without status), and records status 6 when the host failed.
  void ReadSetupVersion(const std::u16string& setupPath);

  // Reads the English display name from the metadata document read from
  // the archive into displayName. True when one was found. Records status 6
  // when the document cannot be loaded.
  bool ReadDisplayName();

  // True when the first word of the English category text is "BIOS" or
  // "Firmware". Records status 6 when the document cannot be loaded.
  bool IsFirmwareCategory();

 private:
  enum class Extraction {
    kDone,
    kAbsent,    // the archive opened and holds no such entry (no fault recorded)
    kTooLarge,  // the entry declares more than the caller's limit; not extracted
    kFailed,    // a fault was recorded
  };

  // The whole inspection sequence; true when it ended with status 0.
  bool Inspect();

  // The sequence from the archive on: archive takes the open file over and
  // every read goes through it.
  // The work directory is made in work when a file must be written.
  bool InspectOpenFile(platform::File&& file, vekzip::ZIP_File& archive,
                       std::optional<platform::WorkDirectory>& work);

  // Extracts the setup entry to outputPath. Every failure is recorded as a
  // fault of step with status 5, or 6 when the host failed.
  Extraction ExtractSetup(vekzip::ZIP_FileEntry& entry, const std::u16string& outputPath,
                          InspectionStep step);

  // Reads the metadata entry into metadata_, unless it declares more than
  // kMaxMetadataSize bytes. Failures are recorded as for ExtractSetup.
  Extraction ReadMetadataEntry(vekzip::ZIP_FileEntry& entry);

  // Records a failed result of the archive reader: a fault of the host when
  // the failure carries one (or the reader ran out of memory or could not
  // create or write its output), otherwise a fault of the component's bytes.
  void RecordZipFailure(InspectionStep step, const std::u16string& subject, int result,
                        const vekzip::ZIP_Failure& failure, const std::string& what);

  // The file exists: is it a regular file that can be read? Opens it into
  // *file; records the fault when not.
  bool OpenComponentFile(platform::File* file);

  // The stub version read through the open component file (the portable
  // reader), as ReadStubVersion reads it by path.
  bool ReadStubVersionFrom(platform::File& file);
  // The stub and setup versions from a version-text query's outcome.
  bool TakeStubVersion(const std::optional<std::u16string>& comments,
                       const platform::VersionInfoFailure& fault);
  void TakeSetupVersion(const std::optional<std::u16string>& fileVersion,
                        const platform::VersionInfoFailure& fault);
  // The setup version from the ranges captured as the entry streamed by.
  void TakeCapturedSetupVersion(const SetupCapture& capture);

  // Reads the whole open component file once, for fileSha256 (when asked
  // for) and for the Authenticode digests its signatures use (when trust is
  // given and it has a certificate table), and judges its signatures.
  void TakeDigests(platform::File& file);

  // The signatures of the setup program extracted to path.
  void CheckExtractedSetupSignatures(const std::u16string& path);

  // Keeps a judgement of subject's signatures, or records the host's fault
  // when the system failed to judge them.
  std::optional<FileSignatures> TakeSignatures(FileSignatures judged,
                                               const std::u16string& subject);

  // Forgets what was read, when the reads may have come from two files.
  void ForgetWhatWasRead();

  // The text of the English `item` element below `group` in the package
  // element, or nothing. Records status 6 when the metadata cannot be read.
  std::optional<std::u16string> FindEnglishText(const char16_t* group, const char16_t* item);

  InspectionOptions options_;
  // The metadata entry's name and its bytes, as read from the archive.
  std::u16string metadataName_;
  std::string metadata_;

  // Records a failure: the status code and its message.
  void SetStatus(int code);

  // Records a fault and, unless its status is 0, the status and message.
  void RecordFault(InspectionStep step, int status, std::string code, std::u16string subject,
                   int layerResult, std::string detail);

  // Records a fault of the host (status 6), with what failed and the
  // host's fault that the failing layer reported (kNone counts as kOther).
  void RecordHostFault(InspectionStep step, std::u16string subject, int layerResult,
                       const std::string& what, platform::HostFault fault);

  // The metadata entry declared more than kMaxMetadataSize and was not
  // extracted; both metadata queries find it unreadable.
  bool metadataTooLarge_ = false;

  // The digests computed as the setup program streams by: the default
  // guess, and those of the component file's own signatures once its table
  // is read (the setup program's table arrives only at the end of the
  // stream).
  std::vector<crypto::DigestAlgorithm> setupAlgorithms_{std::begin(kSetupDigestGuess),
                                                         std::end(kSetupDigestGuess)};
};

}  // namespace packprobe
