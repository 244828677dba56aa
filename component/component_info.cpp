#include "component/component_info.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <memory>
#include <new>

#include "component/archive_diagnosis.h"
#include "component/verdict.h"
#include "pe/version_file.h"
#include "platform/file.h"
#include "platform/file_status.h"
#include "platform/host_fault.h"
#include "platform/work_directory.h"
#include "util/text.h"
#include "zip/zip_file.h"
#include "zip/zip_file_entry.h"

namespace packprobe {
namespace {

constexpr std::u16string_view kSetupFileName = u"veksetup.exe";

// The last component of a path (after any drive and after the last "\" or
// "/") without its extension (the last "." and what follows).
std::u16string FileStem(std::u16string_view path) {
  if (path.size() >= 2 && path[1] == u':') path.remove_prefix(2);
  const std::size_t separator = path.find_last_of(u"\\/");
  if (separator != path.npos) path.remove_prefix(separator + 1);
  const std::size_t dot = path.rfind(u'.');
  if (dot != path.npos) path = path.substr(0, dot);
  return std::u16string(path);
}

// The archive reader's own account of a failure, as one sentence with the
// offset concerned.
std::string ZipDetail(const vekzip::ZIP_Failure& failure, const std::string& fallback) {
  std::string detail = failure.detail.empty() ? fallback : failure.detail;
  if (failure.offset) {
    char offset[32];
    std::snprintf(offset, sizeof offset, " (offset 0x%llX)",
                  static_cast<unsigned long long>(*failure.offset));
    detail += offset;
  }
  return detail;
}

std::string Narrow(std::u16string_view text) { return Utf16ToUtf8(text); }

// A check of signatures that the system failed: a read that failed without
// saying why is the disk's.
FileSignatures HostFailure(platform::HostFault fault) {
  FileSignatures failed;
  failed.fault = fault != platform::HostFault::kNone ? fault : platform::HostFault::kIo;
  return failed;
}

// Collects an entry's bytes in memory (the metadata entry, which is
// bounded before it is read).
class StringSink final : public vekzip::ZIP_Sink {
 public:
  explicit StringSink(std::string* out) : out_(out) {}
  bool Write(const unsigned char* data, std::uint32_t size) override {
    try {
      out_->append(reinterpret_cast<const char*>(data), size);
      return true;
    } catch (const std::bad_alloc&) {
      noMemory = true;
      return false;
    }
  }
  bool noMemory = false;

 private:
  std::string* out_;
};

}  // namespace

InspectionOptions InspectionOptions::ForPackprobe() {
  InspectionOptions options;
  options.systemVersionService = platform::kSystemVersionApi;
  return options;
}

ComponentInfo::ComponentInfo(const std::u16string* path, const InspectionOptions& options)
    : options_(options) {
  if (path == nullptr) {
    RecordFault(InspectionStep::kExistence, kStatusInvalid, "no-component", u"", 0,
                "no component was given");
    return;
  }
  try {
    if (!platform::FileExists(*path)) {
      RecordFault(InspectionStep::kExistence, kStatusMissing, "component-missing", u"", 0,
                  "nothing exists at the component's path");
      return;
    }
    componentPath = path;
    componentFile = FileStem(*path) + u".exe";
    inspected = Inspect();
  } catch (const std::exception&) {
    // Running out of memory is the one exception the inspection expects; it
    // is a system error wherever it happens, and the record stays complete.
    // The work directory went with the unwinding.
    inspected = false;
    try {
      RecordFault(faults.empty() ? InspectionStep::kExistence : faults.back().step,
                  kStatusSystemError, "host-no-memory", u"", 0,
                  "the system could not provide the memory needed");
    } catch (const std::exception&) {
      status = kStatusSystemError;
      message.clear();  // no memory even for the message; the status decides
    }
  }
}

bool ComponentInfo::OpenComponentFile(platform::File* file) {
  if (file->Open(*componentPath, platform::File::Access::kReadShared)) return true;
  if (file->fault() != platform::HostFault::kNone) {
    RecordHostFault(InspectionStep::kExistence, u"", 0, "the component file cannot be opened",
                    file->fault());
  } else {
    RecordFault(InspectionStep::kExistence, kStatusInvalid, "not-regular-file", u"", 0,
                "the component is not a regular file (a directory, a pipe, a device or a socket)");
  }
  return false;
}

bool ComponentInfo::Inspect() {
  metadataName_ = FileStem(*componentPath) + u".xml";

  // Only a regular file is read as a component; anything else is refused
  // before the archive reader could wait on it. This one open file serves
  // every read of the component.
  platform::File file;
  if (!OpenComponentFile(&file)) return false;
  platform::FileIdentity before;
  const bool known = file.Identity(&before);
  if (known) fileSize = before.size;
  // The digests are of this open file, inside the identity check: a file
  // changed meanwhile is reported as changed, never hashed as another.
  if (options_.digest || options_.trust != nullptr) {
    TakeDigests(file);
    file.SetPosition(0);
  }

  // The files written (the setup program for the system's version service
  // or beyond the capture bound) live in a private directory that goes,
  // with all in it, on every path out of this function, after the archive
  // has closed the component (its removal may need that descriptor); the
  // current directory is never touched.
  std::optional<platform::WorkDirectory> work;
  vekzip::ZIP_File archive;
  const bool ended = InspectOpenFile(std::move(file), archive, work);

  // Every read went through the one open file, which cannot become another
  // file; but it may have been written meanwhile, and the system's version
  // service reads by path, which may name another file by now. Either way
  // the record would be made of two files: it is reported as such instead.
  bool same = true;
  if (known) {
    platform::FileIdentity after;
    // Closed only when the archive could not be opened, after one read.
    if (archive.file().IsOpen()) same = archive.file().Identity(&after) && after == before;
    if (same && options_.systemVersionService) {
      platform::File byPath;
      same = byPath.Open(*componentPath, platform::File::Access::kReadShared) &&
             byPath.Identity(&after) && after == before;
    }
  }
  if (!same) {
    ForgetWhatWasRead();
    RecordFault(InspectionStep::kExistence, kStatusSystemError, "component-changed", u"", 0,
                "the component file was replaced, changed or removed while it was checked");
    return false;
  }
  return ended;
}

bool ComponentInfo::InspectOpenFile(platform::File&& file, vekzip::ZIP_File& archive,
                                    std::optional<platform::WorkDirectory>& work) {
  const auto createWork = [&]() {
    platform::HostFault workFault = platform::HostFault::kNone;
    if (std::optional<platform::WorkDirectory> created =
            platform::WorkDirectory::Create(&workFault)) {
      work.emplace(std::move(*created));
    } else {
      RecordHostFault(InspectionStep::kWorkDirectory, u"", 0,
                      "the work directory cannot be created", workFault);
    }
    return work.has_value();
  };
  if (options_.systemVersionService && !createWork()) return false;

  if (const int opened = archive.Open(std::move(file)); opened != vekzip::ZIP_OK) {
    RecordZipFailure(InspectionStep::kOpenArchive, metadataName_, opened, archive.lastFailure(),
                     "the archive at the end of the component cannot be opened");
    return false;
  }

  vekzip::ZIP_FileEntry* metadataEntry = archive.FindEntry(metadataName_);
  if (metadataEntry == nullptr) {
    // What the archive holds instead tells a renamed component at once.
    std::vector<std::string> names;
    for (const vekzip::ZIP_FileEntry* held : archive.Entries()) {
      if (held->Name() != nullptr) names.emplace_back(held->Name());
    }
    RecordFault(InspectionStep::kExtractMetadata, kStatusInvalid, "metadata-missing",
                metadataName_, 0,
                "the archive holds no entry named " + Narrow(metadataName_) +
                    XmlEntriesNote(names));
    return false;
  }
  const Extraction metadata = ReadMetadataEntry(*metadataEntry);
  if (metadata == Extraction::kFailed) return false;
  // A metadata file too large to be real is not read; both queries find it
  // unreadable.
  metadataTooLarge_ = metadata == Extraction::kTooLarge;

  // A setup program that is present but cannot be read makes the component
  // invalid; only an archive that holds no such entry means there is none.
  vekzip::ZIP_FileEntry* setupEntry = archive.FindEntry(kSetupFileName);
  holdsSetup = setupEntry != nullptr;
  Extraction setup = Extraction::kAbsent;
  std::optional<SetupCapture> captured;
  std::u16string setupPath;
  if (setupEntry != nullptr) {
    if (!options_.systemVersionService) {
      captured = CaptureSetupVersion(*setupEntry, options_.captureBound,
                                     options_.trust != nullptr, setupAlgorithms_);
      switch (captured->outcome) {
        case SetupCapture::Outcome::kRead:
          setup = Extraction::kDone;
          break;
        case SetupCapture::Outcome::kStreamFailed:
          RecordZipFailure(InspectionStep::kExtractSetup, std::u16string(kSetupFileName),
                           captured->zipResult, captured->failure, "veksetup.exe cannot be extracted");
          setup = Extraction::kFailed;
          break;
        case SetupCapture::Outcome::kNoMemory:
          RecordHostFault(InspectionStep::kExtractSetup, std::u16string(kSetupFileName), 0,
                          "veksetup.exe cannot be read", platform::HostFault::kNoMemory);
          setup = Extraction::kFailed;
          break;
        case SetupCapture::Outcome::kFallback:
          captured.reset();
          break;
      }
    }
    if (setup == Extraction::kAbsent) {
      // The system's version service reads a file, and so does the portable
      // reader when the ranges needed exceed the capture bound.
      if (!work && !createWork()) return false;
      setupPath = work->PathOf(kSetupFileName);
      setup = ExtractSetup(*setupEntry, setupPath, InspectionStep::kExtractSetup);
      setupExtracted = true;
    }
    // Judged only once the program streamed whole and its CRC-32 held, by
    // whichever road it took.
    if (options_.trust != nullptr && setup == Extraction::kDone) {
      if (!captured) {
        CheckExtractedSetupSignatures(setupPath);
      } else if (captured->authenticode) {
        setupSignatures =
            TakeSignatures(CheckSignatures(*captured->authenticode, *options_.trust, options_.now),
                           std::u16string(kSetupFileName));
      }
    }
  }

  ReadDisplayName();

  if (options_.systemVersionService ? !ReadStubVersion() : !ReadStubVersionFrom(archive.file())) {
    return false;
  }
  if (setup == Extraction::kDone) {
    if (captured) {
      TakeCapturedSetupVersion(*captured);
    } else {
      ReadSetupVersion(setupPath);
    }
  } else if (setup == Extraction::kAbsent) {
    setupVersion = kNoVersion;
  }

  if (IsFirmwareCategory()) {
    isFirmware = true;
  } else {
    isSoftware = true;
  }
  return status == 0;
}

ComponentInfo::Extraction ComponentInfo::ReadMetadataEntry(vekzip::ZIP_FileEntry& entry) {
  // The declared size bounds what is read, so it is checked before anything
  // is read.
  if (entry.uncompressedSize > kMaxMetadataSize) return Extraction::kTooLarge;
  metadata_.clear();
  metadata_.reserve(entry.uncompressedSize);
  StringSink sink(&metadata_);
  const int read = entry.Stream(sink);
  if (sink.noMemory) {
    RecordHostFault(InspectionStep::kExtractMetadata, metadataName_, vekzip::ZIP_ERR_NO_MEMORY,
                    Narrow(metadataName_) + " cannot be read", platform::HostFault::kNoMemory);
    return Extraction::kFailed;
  }
  if (read != vekzip::ZIP_OK) {
    RecordZipFailure(InspectionStep::kExtractMetadata, metadataName_, read, entry.lastFailure(),
                     Narrow(metadataName_) + " cannot be extracted");
    return Extraction::kFailed;
  }
  return Extraction::kDone;
}

ComponentInfo::Extraction ComponentInfo::ExtractSetup(vekzip::ZIP_FileEntry& entry,
                                                      const std::u16string& outputPath,
                                                      InspectionStep step) {
  if (const int extracted = entry.Extract(&outputPath, false); extracted != vekzip::ZIP_OK) {
    RecordZipFailure(step, std::u16string(kSetupFileName), extracted, entry.lastFailure(),
                     Narrow(kSetupFileName) + " cannot be extracted");
    return Extraction::kFailed;
  }
  return Extraction::kDone;
}

void ComponentInfo::RecordZipFailure(InspectionStep step, const std::u16string& subject,
                                     int result, const vekzip::ZIP_Failure& failure,
                                     const std::string& what) {
  const std::string_view code = failure.code;
  // A fault of the host when the reader reports one, or when it ran out of
  // memory, could not open the component again, or could not create or
  // write its output in the work directory (which only the host can
  // refuse); otherwise a fault of the component's bytes.
  const bool host = failure.hostFault != platform::HostFault::kNone ||
                    result == vekzip::ZIP_ERR_NO_MEMORY || result == vekzip::ZIP_ERR_CREATE ||
                    result == vekzip::ZIP_ERR_OPEN;
  if (host) {
    platform::HostFault fault = failure.hostFault;
    if (fault == platform::HostFault::kNone && result == vekzip::ZIP_ERR_NO_MEMORY) {
      fault = platform::HostFault::kNoMemory;
    }
    RecordHostFault(step, subject, result, ZipDetail(failure, what), fault);
  } else if (const auto diagnosis = step == InspectionStep::kOpenArchive &&
                                            code == "end-record-missing"
                                        ? DiagnoseMissingArchive(*componentPath)
                                        : std::nullopt) {
    // No archive at all: say what the file is instead (empty, no program,
    // nothing appended, an archive cut off).
    RecordFault(step, kStatusInvalid, diagnosis->code, subject, result, diagnosis->detail);
  } else {
    RecordFault(step, kStatusInvalid,
                "zip-" + std::string(code.empty() ? std::string_view("failed") : code), subject,
                result, ZipDetail(failure, what));
  }
}

void ComponentInfo::TakeDigests(platform::File& file) {
  // The layout and the certificate table come first: they tell whether the
  // pass needs an Authenticode digest, and with which algorithms. A file
  // without a table (or with a broken layout) is judged from its headers
  // and needs no pass of its own.
  std::optional<AuthenticodeDigester> authenticode;
  if (options_.trust != nullptr) {
    platform::FileInput input(file);
    if (!input.Start()) {
      fileSignatures = TakeSignatures(HostFailure(input.fault()), u"");
    } else if (const AuthenticodeLayout layout = ReadAuthenticodeLayout(input);
               layout.status != AuthenticodeLayoutStatus::kSigned) {
      fileSignatures =
          TakeSignatures(CheckFileSignatures(input, *options_.trust, options_.now), u"");
    } else {
      // The layout bounds the table by kMaxCertificateTableSize.
      std::vector<std::uint8_t> table(static_cast<std::size_t>(layout.table.size));
      if (!input.ReadAt(layout.table.offset, table)) {
        fileSignatures = TakeSignatures(HostFailure(input.fault()), u"");
      } else {
        const std::vector<crypto::DigestAlgorithm> algorithms = CertificateTableAlgorithms(table);
        authenticode.emplace(layout.fileSize, algorithms);
        // Who signs the component mostly signs its setup program alike.
        for (const crypto::DigestAlgorithm algorithm : algorithms) {
          if (std::find(setupAlgorithms_.begin(), setupAlgorithms_.end(), algorithm) ==
              setupAlgorithms_.end()) {
            setupAlgorithms_.push_back(algorithm);
          }
        }
      }
    }
  }
  if (!options_.digest && !authenticode) return;

  // Large reads of a file the check has just read, mostly from the cache.
  constexpr std::size_t kPiece = std::size_t{1} << 20;
  const std::unique_ptr<unsigned char[]> buffer(new unsigned char[kPiece]);
  crypto::Sha256 digest;
  std::uint64_t position = 0;
  for (;;) {
    std::size_t got = 0;
    if (!file.ReadUpTo(position, buffer.get(), kPiece, &got)) {
      if (options_.digest) {
        RecordFault(InspectionStep::kDigest, 0, "hash-failed", u"", 0,
                    "the component file could not be read whole for its digest: " +
                        std::string(platform::HostFaultText(file.fault())));
      }
      if (authenticode) fileSignatures = TakeSignatures(HostFailure(file.fault()), u"");
      return;
    }
    if (got == 0) break;
    if (options_.digest) digest.Update(buffer.get(), got);
    // A file that grew meanwhile spends the digester, which then finds the
    // file did not stream whole; the identity check reports the change.
    if (authenticode) authenticode->Update(position, {buffer.get(), got});
    position += got;
  }
  if (authenticode) {
    fileSignatures = TakeSignatures(
        CheckSignatures(authenticode->Finish(), *options_.trust, options_.now), u"");
  }
  if (!options_.digest) return;
  fileSha256 = digest.Finish();
  if (!fileSha256) {
    RecordFault(InspectionStep::kDigest, 0, "hash-failed", u"", 0,
                "the system's SHA-256 failed (no memory)");
  } else if (fileSize && position != *fileSize) {
    // The identity check that follows reports the change as well.
    fileSha256.reset();
    RecordFault(InspectionStep::kDigest, 0, "hash-failed", u"", 0,
                "the component file's size changed while it was read for its digest");
  }
}

void ComponentInfo::CheckExtractedSetupSignatures(const std::u16string& path) {
  const std::u16string subject(kSetupFileName);
  // The program was just written here; only the host can keep it from
  // being read back.
  platform::File file;
  if (!file.Open(path, platform::File::Access::kReadShared)) {
    setupSignatures = TakeSignatures(HostFailure(file.fault()), subject);
    return;
  }
  platform::FileInput input(file);
  setupSignatures = TakeSignatures(input.Start()
                                      ? CheckFileSignatures(input, *options_.trust, options_.now)
                                      : HostFailure(input.fault()),
                                  subject);
}

std::optional<FileSignatures> ComponentInfo::TakeSignatures(FileSignatures judged,
                                                            const std::u16string& subject) {
  if (judged.fault == platform::HostFault::kNone) return judged;
  RecordHostFault(InspectionStep::kCheckSignatures, subject, 0,
                  "the signatures of " +
                      (subject.empty() ? std::string("the component file") : Narrow(subject)) +
                      " cannot be checked",
                  judged.fault);
  return std::nullopt;
}

void ComponentInfo::ForgetWhatWasRead() {
  displayName.clear();
  stubVersion = 0;
  setupVersion = 0;
  isFirmware = false;
  isSoftware = false;
  stubVersionText.reset();
  setupVersionText.reset();
  category.reset();
  holdsSetup.reset();
  fileSha256.reset();
  fileSignatures.reset();
  setupSignatures.reset();
}

void ComponentInfo::RecordFault(InspectionStep step, int code, std::string machineCode,
                                std::u16string subject, int layerResult, std::string detail) {
  if (code != 0) SetStatus(code);
  faults.push_back(InspectionFault{step, code, std::move(machineCode), std::move(subject),
                                   layerResult, std::move(detail)});
}

void ComponentInfo::RecordHostFault(InspectionStep step, std::u16string subject, int layerResult,
                                    const std::string& what, platform::HostFault fault) {
  if (fault == platform::HostFault::kNone) fault = platform::HostFault::kOther;
  RecordFault(step, kStatusSystemError, std::string(platform::HostFaultCode(fault)),
              std::move(subject), layerResult,
              what + ": " + std::string(platform::HostFaultText(fault)));
}

void ComponentInfo::SetStatus(int code) {
  status = code;
  message = StatusMessage(code);
}

}  // namespace packprobe
