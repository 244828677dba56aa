// The queries on the package metadata file: the English display name and
// the firmware-or-software class.
#include <optional>
#include <string>
#include <string_view>

#include "component/component_info.h"
#include "xml/xml_reader.h"

namespace packprobe {
namespace {

// The first word of a category text: words are separated by spaces and
// hyphens only, so a tab belongs to the word.
std::u16string_view FirstWord(std::u16string_view text) {
  constexpr std::u16string_view kDelimiters = u" -";
  const std::size_t start = text.find_first_not_of(kDelimiters);
  if (start == text.npos) return {};
  const std::size_t end = text.find_first_of(kDelimiters, start);
  return text.substr(start, end == text.npos ? text.npos : end - start);
}

}  // namespace

std::optional<std::u16string> ComponentInfo::FindEnglishText(const std::u16string& metadataPath,
                                                             const char16_t* group,
                                                             const char16_t* item) {
  CVekXMLReader reader;
  if (reader.Load(metadataPath) != CVekXMLReader::LOAD_OK || !reader.IsLoaded()) {
    SetStatus(kStatusSystemError);
    return std::nullopt;
  }
  CVekXMLNode* package = reader.FindChild(reader.GetRoot(), u"vek_package");
  if (package == nullptr) {
    SetStatus(kStatusSystemError);
    return std::nullopt;
  }
  CVekXMLNode* groupNode = reader.FindChild(package, group);
  // The child list runs latest first, so the walk starts at the last `item`
  // in the document and goes on through every node written before it,
  // whatever its name.
  for (CVekXMLNode* node = groupNode != nullptr ? reader.FindChild(groupNode, item) : nullptr;
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

bool ComponentInfo::ReadDisplayName(const std::u16string& metadataPath) {
  std::optional<std::u16string> name = FindEnglishText(metadataPath, u"name", u"name_xlate");
  if (!name) return false;
  displayName = std::move(*name);
  return true;
}

bool ComponentInfo::IsFirmwareCategory(const std::u16string& metadataPath) {
  const std::optional<std::u16string> category =
      FindEnglishText(metadataPath, u"category", u"category_xlate");
  // Without an English category there is nothing that says firmware.
  if (!category) return false;
  this->category = *category;
  const std::u16string_view word = FirstWord(*category);
  return word == u"BIOS" || word == u"Firmware";
}

}  // namespace packprobe
