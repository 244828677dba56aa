// Queries on a loaded package metadata document: the English text of a
// translated item, and what makes a category firmware.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "xml/xml_reader.h"

namespace packprobe {

// The text of the English `item` element below `group` in the document's
// `vek_package` element. The walk starts at the last `item` in the document
// and goes on backwards through every element written before it, whatever
// its name: the first with the attribute lang="en" (exactly) whose first
// child is text gives that text. Nothing when there is no such element, or
// no loaded document with a `vek_package` element (see HasPackageElement).
std::optional<std::u16string> FindEnglishText(const CVekXMLReader& reader, std::u16string_view group,
                                              std::u16string_view item);

// True when the reader holds a loaded document whose element is
// `vek_package`; metadata without one cannot be read.
bool HasPackageElement(const CVekXMLReader& reader);

// True when the first word of a category text is "BIOS" or "Firmware".
// Words are separated by spaces and hyphens only, so a tab belongs to the
// word.
bool IsFirmwareCategoryText(std::u16string_view category);

}  // namespace packprobe
