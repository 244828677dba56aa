#include "component/component_info.h"

#include <cstdio>
#include <exception>
#include <memory>
#include <new>

#include "component/verdict.h"
#include "platform/file.h"
#include "platform/file_status.h"
#include "platform/host_fault.h"
#include "platform/work_directory.h"
#include "util/text.h"
#include "zip/zip_file.h"

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

}  // namespace

ComponentInfo::ComponentInfo(const std::u16string* path) {
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

bool ComponentInfo::CheckComponentFile() {
  platform::File file;
  if (file.Open(*componentPath, platform::File::Access::kReadShared)) return true;
  if (file.fault() != platform::HostFault::kNone) {
    RecordHostFault(InspectionStep::kExistence, u"", 0, "the component file cannot be opened",
                    file.fault());
  } else {
    RecordFault(InspectionStep::kExistence, kStatusInvalid, "not-regular-file", u"", 0,
                "the component is not a regular file (a directory, a pipe, a device or a socket)");
  }
  return false;
}

bool ComponentInfo::Inspect() {
  const std::u16string metadataName = FileStem(*componentPath) + u".xml";

  // Only a regular file is read as a component; anything else is refused
  // before the archive reader could wait on it.
  if (!CheckComponentFile()) return false;

  // The extracted files live in a private directory that goes, with all in
  // it, on every path out of this function; the current directory is never
  // touched.
  platform::HostFault workFault = platform::HostFault::kNone;
  std::optional<platform::WorkDirectory> work = platform::WorkDirectory::Create(&workFault);
  if (!work) {
    RecordHostFault(InspectionStep::kWorkDirectory, u"", 0, "the work directory cannot be created",
                    workFault);
    return false;
  }
  const std::u16string metadataPath = work->PathOf(metadataName);
  const std::u16string setupPath = work->PathOf(kSetupFileName);

  const Extraction metadata = ExtractEntry(metadataName, metadataPath,
                                           InspectionStep::kExtractMetadata, kMaxMetadataSize);
  if (metadata == Extraction::kAbsent) {
    RecordFault(InspectionStep::kExtractMetadata, kStatusInvalid, "metadata-missing",
                metadataName, 0, "the archive holds no entry named " + Narrow(metadataName));
  }
  if (metadata == Extraction::kAbsent || metadata == Extraction::kFailed) return false;
  // A metadata file too large to be real is not extracted; both queries
  // find it unreadable.
  metadataTooLarge_ = metadata == Extraction::kTooLarge;

  // A setup program that is present but cannot be extracted makes the
  // component invalid; only an archive that opened and holds no such entry
  // means there is none.
  const Extraction setup =
      ExtractEntry(kSetupFileName, setupPath, InspectionStep::kExtractSetup, 0xFFFFFFFFu);
  if (setup == Extraction::kDone || setup == Extraction::kTooLarge) holdsSetup = true;
  if (setup == Extraction::kAbsent) holdsSetup = false;
  // A failed extraction of the entry itself shows that it is there; a
  // failure to open the archive again says nothing about it.
  if (setup == Extraction::kFailed && faults.back().step == InspectionStep::kExtractSetup) {
    holdsSetup = true;
  }

  ReadDisplayName(metadataPath);

  if (!ReadStubVersion()) return false;
  if (setup == Extraction::kDone) {
    ReadSetupVersion(setupPath);
  } else if (setup == Extraction::kAbsent) {
    setupVersion = kNoVersion;
  }

  if (IsFirmwareCategory(metadataPath)) {
    isFirmware = true;
  } else {
    isSoftware = true;
  }
  return status == 0;
}

ComponentInfo::Extraction ComponentInfo::ExtractEntry(std::u16string_view entryName,
                                                      const std::u16string& outputPath,
                                                      InspectionStep step, std::uint32_t maxSize) {
  const std::u16string subject(entryName);
  // Classifies a failed result of the archive reader: a fault of the host
  // when the reader reports one, or when it ran out of memory, could not
  // open the component again, or could not create or write its output in
  // the work directory (which only the host can refuse); otherwise a fault
  // of the component's bytes.
  const auto fail = [&](InspectionStep where, int result, const vekzip::ZIP_Failure& failure,
                        const std::string& what) {
    const std::string_view code = failure.code;
    const bool host = failure.hostFault != platform::HostFault::kNone ||
                      result == vekzip::ZIP_ERR_NO_MEMORY || result == vekzip::ZIP_ERR_CREATE ||
                      result == vekzip::ZIP_ERR_OPEN;
    if (host) {
      RecordHostFault(where, subject, result, ZipDetail(failure, what), failure.hostFault);
    } else {
      RecordFault(where, kStatusInvalid,
                  "zip-" + std::string(code.empty() ? std::string_view("failed") : code), subject,
                  result, ZipDetail(failure, what));
    }
    return Extraction::kFailed;
  };

  // One archive object per call: each extraction reads the directory anew.
  auto archive = std::make_unique<vekzip::ZIP_File>();
  if (const int opened = archive->Open(*componentPath, true); opened != vekzip::ZIP_OK) {
    return fail(InspectionStep::kOpenArchive, opened, archive->lastFailure(),
                "the archive at the end of the component cannot be opened");
  }
  vekzip::ZIP_FileEntry* entry = archive->FindEntry(entryName);
  if (entry == nullptr) return Extraction::kAbsent;
  // The declared size bounds what extraction writes, so it is checked
  // before anything is written.
  if (entry->uncompressedSize > maxSize) return Extraction::kTooLarge;
  if (const int extracted = entry->Extract(&outputPath, false); extracted != vekzip::ZIP_OK) {
    return fail(step, extracted, entry->lastFailure(), Narrow(subject) + " cannot be extracted");
  }
  return Extraction::kDone;
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
