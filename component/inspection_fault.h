// Why an inspection failed, recorded as data beside the status code.
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
};

struct InspectionFault {
  InspectionStep step;
  int status = 0;          // the status this fault recorded: 4, 5 or 6
  std::string code;        // stable machine code, lower-case with hyphens
  std::u16string subject;  // the entry or file concerned; may be empty
  int layerResult = 0;     // the failing layer's own result; 0 when none
  std::string detail;      // one English sentence (UTF-8) for people
};

}  // namespace packprobe
