// The queries on the package metadata file: the English display name and
// the firmware-or-software class.
#include "component/package_metadata.h"

#include <optional>
#include <string>
#include <string_view>

#include "component/component_info.h"

namespace packprobe {
namespace {

constexpr const char16_t* kPackageElement = u"vek_package";

// The first word of a category text.
std::u16string_view FirstWord(std::u16string_view text) {
  constexpr std::u16string_view kDelimiters = u" -";
  const std::size_t start = text.find_first_not_of(kDelimiters);
  if (start == text.npos) return {};
  const std::size_t end = text.find_first_of(kDelimiters, start);
  return text.substr(start, end == text.npos ? text.npos : end - start);
}

std::string LoadFaultCode(CVekXMLReader::LoadResult result) {
  switch (result) {
    case CVekXMLReader::LOAD_NO_ROOT:
      return "metadata-load-no-root";
    case CVekXMLReader::LOAD_OPEN_FAILED:
      return "metadata-load-open";
    case CVekXMLReader::LOAD_READ_FAILED:
      return "metadata-load-read";
    default:
      return "metadata-load-syntax";
  }
}

std::string LoadFaultText(CVekXMLReader::LoadResult result) {
  switch (result) {
    case CVekXMLReader::LOAD_NO_ROOT:
      return "the metadata document's root cannot be created";
    case CVekXMLReader::LOAD_OPEN_FAILED:
      return "the extracted metadata file cannot be opened";
    case CVekXMLReader::LOAD_READ_FAILED:
      return "the extracted metadata file cannot be read whole";
    default:
      return "the metadata file is not a well-formed XML document in a known encoding";
  }
}

}  // namespace

bool HasPackageElement(const CVekXMLReader& reader) {
  return reader.IsLoaded() && reader.FindChild(reader.GetRoot(), kPackageElement) != nullptr;
}

std::optional<std::u16string> FindEnglishText(const CVekXMLReader& reader, std::u16string_view group,
                                              std::u16string_view item) {
  CVekXMLNode* package = reader.FindChild(reader.GetRoot(), kPackageElement);
  if (package == nullptr) return std::nullopt;
  const std::u16string groupName(group);
  const std::u16string itemName(item);
  CVekXMLNode* groupNode = reader.FindChild(package, groupName.c_str());
  // The child list runs latest first, so the walk starts at the last `item`
  // in the document and goes on through every node written before it,
  // whatever its name.
  for (CVekXMLNode* node = groupNode != nullptr ? reader.FindChild(groupNode, itemName.c_str())
                                                : nullptr;
       node != nullptr; node = node->GetNextSibling()) {
    const char16_t* lang = node->GetAttribute(u"lang");
    if (lang == nullptr || std::u16string_view(lang) != u"en") continue;
    const CVekXMLNode* first = node->GetFirstChild();
    if (first == nullptr || first->GetType() != CVekXMLNode::NODE_TEXT) continue;
    const char16_t* text = first->GetText();
    return std::u16string(text != nullptr ? text : u"");
  }
  return std::nullopt;
}

bool IsFirmwareCategoryText(std::u16string_view category) {
  const std::u16string_view word = FirstWord(category);
  return word == u"BIOS" || word == u"Firmware";
}

std::optional<std::u16string> ComponentInfo::FindEnglishText(const char16_t* group,
                                                             const char16_t* item) {
  const std::u16string& subject = metadataName_;
  if (metadataTooLarge_) {
    RecordFault(InspectionStep::kLoadMetadata, kStatusSystemError, "metadata-too-large", subject,
                0, "the metadata file declares more than 16 MiB, which is not read");
    return std::nullopt;
  }
  // The document was read from the archive into memory; it is parsed from
  // there with the results a file holding it would give.
  CVekXMLReader reader;
  const CVekXMLReader::LoadResult loaded = reader.LoadFromMemory(metadata_);
  if (loaded != CVekXMLReader::LOAD_OK || !reader.IsLoaded()) {
    // A load that reports success without a document ran out of memory.
    const platform::HostFault fault = loaded == CVekXMLReader::LOAD_OK
                                          ? platform::HostFault::kNoMemory
                                          : reader.GetHostFault();
    if (fault != platform::HostFault::kNone) {
      RecordHostFault(InspectionStep::kLoadMetadata, subject, loaded,
                      "the metadata file cannot be loaded", fault);
    } else {
      RecordFault(InspectionStep::kLoadMetadata, kStatusSystemError, LoadFaultCode(loaded),
                  subject, loaded, LoadFaultText(loaded));
    }
    return std::nullopt;
  }
  if (!HasPackageElement(reader)) {
    RecordFault(InspectionStep::kLoadMetadata, kStatusSystemError, "metadata-no-package", subject,
                0, "the metadata file has no vek_package element");
    return std::nullopt;
  }
  return packprobe::FindEnglishText(reader, group, item);
}

bool ComponentInfo::ReadDisplayName() {
  std::optional<std::u16string> name = FindEnglishText(u"name", u"name_xlate");
  if (!name) return false;
  displayName = std::move(*name);
  return true;
}

bool ComponentInfo::IsFirmwareCategory() {
  const std::optional<std::u16string> category = FindEnglishText(u"category", u"category_xlate");
  // Without an English category there is nothing that says firmware.
  if (!category) return false;
  this->category = *category;
  return IsFirmwareCategoryText(*category);
}

}  // namespace packprobe
