#include "component/component_info.h"

#include <memory>

#include "platform/file_status.h"
#include "platform/work_directory.h"
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

}  // namespace

ComponentInfo::ComponentInfo(const std::u16string* path) {
  if (path == nullptr) {
    SetStatus(kStatusInvalid);
    return;
  }
  if (!platform::FileExists(*path)) {
    SetStatus(kStatusMissing);
    return;
  }
  componentPath = path;
  componentFile = FileStem(*path) + u".exe";
  inspected = Inspect();
}

bool ComponentInfo::Inspect() {
  const std::u16string metadataName = FileStem(*componentPath) + u".xml";

  // The extracted files live in a private directory that goes, with all in
  // it, on every path out of this function; the current directory is never
  // touched.
  std::optional<platform::WorkDirectory> work = platform::WorkDirectory::Create();
  if (!work) {
    SetStatus(kStatusSystemError);
    return false;
  }
  const std::u16string metadataPath = work->PathOf(metadataName);
  const std::u16string setupPath = work->PathOf(kSetupFileName);

  if (ExtractEntry(metadataName, metadataPath) != Extraction::kDone) {
    SetStatus(kStatusInvalid);
    return false;
  }
  // A setup program that is present but cannot be extracted makes the
  // component invalid; only an absent one means there is none.
  const Extraction setup = ExtractEntry(kSetupFileName, setupPath);
  holdsSetup = setup != Extraction::kAbsent;
  if (setup == Extraction::kFailed) SetStatus(kStatusInvalid);

  ReadDisplayName(metadataPath);

  if (!ReadStubVersion()) {
    SetStatus(kStatusInvalid);
    return false;
  }
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
                                                      const std::u16string& outputPath) {
  // One archive object per call: each extraction reads the directory anew.
  auto archive = std::make_unique<vekzip::ZIP_File>();
  if (archive->Open(*componentPath, true) != vekzip::ZIP_OK) return Extraction::kAbsent;
  vekzip::ZIP_FileEntry* entry = archive->FindEntry(entryName);
  if (entry == nullptr) return Extraction::kAbsent;
  if (entry->Extract(&outputPath, false) != vekzip::ZIP_OK) return Extraction::kFailed;
  return Extraction::kDone;
}

void ComponentInfo::SetStatus(int code) {
  status = code;
  switch (code) {
    case kStatusMissing:
      message = u"The component specified does not exist.";
      break;
    case kStatusInvalid:
      message = u"A valid component was not passed.";
      break;
    default:
      message = u"A system error occurred during processing.";
      break;
  }
}

}  // namespace packprobe
