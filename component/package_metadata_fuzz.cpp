// Parses arbitrary bytes as a metadata document, walks every node of the
// tree and runs the metadata queries on it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "component/package_metadata.h"
#include "xml/xml_reader.h"

namespace {

using packprobe::CVekXMLNode;
using packprobe::CVekXMLReader;

constexpr std::size_t kMaxInput = 1 << 20;

void Check(bool condition) {
  if (!condition) std::abort();
}

// Reads every code unit, so that a string without its terminator or in
// released memory shows up under the sanitizers.
std::size_t Touch(const char16_t* text) {
  std::size_t sum = 0;
  if (text != nullptr) {
    for (; *text != 0; ++text) sum += *text;
  }
  return sum;
}

// The metadata queries, reading every code unit of what they find.
std::size_t ReadTranslation(const CVekXMLReader& reader, std::u16string_view group,
                            std::u16string_view item) {
  const std::optional<std::u16string> text = packprobe::FindEnglishText(reader, group, item);
  if (!text) return 0;
  std::size_t sum = text->size() + packprobe::IsFirmwareCategoryText(*text);
  for (const char16_t unit : *text) sum += unit;
  return sum;
}

// Every node, without recursion: a document may nest deeply.
std::size_t WalkAll(CVekXMLNode* root) {
  std::size_t sum = 0;
  std::vector<CVekXMLNode*> pending{root};
  while (!pending.empty()) {
    CVekXMLNode* node = pending.back();
    pending.pop_back();
    sum += Touch(node->GetName()) + Touch(node->GetText()) + node->GetAttributeCount();
    Check(node->GetType() >= CVekXMLNode::NODE_UNSET && node->GetType() <= CVekXMLNode::NODE_TEXT);
    Check(node->GetType() == CVekXMLNode::NODE_ELEMENT || node->GetAttributeCount() == 0);
    for (std::uint32_t i = 0; i < node->GetAttributeCount(); ++i) sum += i;
    sum += Touch(node->GetAttribute(u"lang"));
    for (CVekXMLNode* c = node->GetFirstChild(); c; c = c->GetNextSibling()) pending.push_back(c);
  }
  return sum;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > kMaxInput) return 0;
  CVekXMLReader reader;
  const CVekXMLReader::LoadResult result =
      reader.LoadFromMemory(std::string_view(reinterpret_cast<const char*>(data), size));
  Check(result == CVekXMLReader::LOAD_OK || result == CVekXMLReader::LOAD_PARSE_FAILED);
  Check(reader.GetRoot() != nullptr);
  volatile std::size_t sink = WalkAll(reader.GetRoot());
  if (!reader.IsLoaded()) {
    Check(reader.FindChild(nullptr, u"vek_package") == nullptr);
    Check(reader.FindChild(reader.GetRoot(), u"vek_package") == nullptr);
    return 0;
  }
  // A loaded document has exactly one element under the root.
  CVekXMLNode* element = reader.GetRoot()->GetFirstChild();
  Check(element != nullptr && element->GetNextSibling() == nullptr);
  Check(reader.FindChild(nullptr, element->GetName()) == element);

  Check(packprobe::HasPackageElement(reader) ==
        (reader.FindChild(nullptr, u"vek_package") != nullptr));
  sink = sink + ReadTranslation(reader, u"name", u"name_xlate");
  sink = sink + ReadTranslation(reader, u"category", u"category_xlate");
  (void)sink;
  return 0;
}
