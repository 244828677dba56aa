// Why an inspection failed, as data: one record per failure, in the order
// they happened. The record's status and message stay the verdict's
// contract; a fault adds where and why, for callers that explain failures.
#pragma once

#include <string>

namespace packprobe {

enum class InspectionStep {
  kExistence,        // the component file itself: exists, is a regular file, can be read
  kWorkDirectory,    // creating the private work directory
  kOpenArchive,      // opening the archive at the end of the component file
  kExtractMetadata,  // finding and extracting <stem>.xml
  kExtractSetup,     // finding and extracting veksetup.exe
  kLoadMetadata,     // loading/parsing the metadata file
  kReadStubVersion,  // the component's own version resource
  kReadSetupVersion, // veksetup.exe's version resource
  kDigest,           // the component file's SHA-256 (only when asked for)
  kCheckSignatures,  // the Authenticode signatures of either file (only when asked for)
};

struct InspectionFault {
  InspectionStep step;
  // The status this fault recorded: 4, 5 or 6; 0 for a failure that sets no
  // status (a setup program whose version cannot be read).
  int status = 0;
  // Stable machine code, lower-case with hyphens: "zip-crc-mismatch",
  // "metadata-missing", "metadata-load-syntax", "stub-no-version-resource",
  // "host-no-memory", "host-no-space", "host-permission", "not-regular-file"...
  // Codes that start with "host-" are faults of the machine, not of the
  // component (status 6).
  std::string code;
  std::u16string subject;  // the entry or file concerned ("veksetup.exe", "kit.xml"); may be empty
  // The failing layer's own result: a ZIP_ERR_* code, the XML load result, or
  // the PE reader's result as an int; 0 when none.
  int layerResult = 0;
  std::string detail;  // one English sentence (UTF-8) for people: what failed and where
};

}  // namespace packprobe
