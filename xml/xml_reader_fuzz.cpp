// Loads arbitrary bytes as an XML file and walks the tree the way the
// package-metadata code does, plus every node of it.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "util/text.h"
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

// The metadata queries: the English entry among the translations.
std::size_t ReadTranslation(CVekXMLReader& reader, CVekXMLNode* package, const char16_t* group,
                            const char16_t* entry) {
  std::size_t sum = 0;
  CVekXMLNode* holder = reader.FindChild(package, group);
  if (holder == nullptr) return 0;
  sum += Touch(reader.FindChild(holder, entry, u"lang", u"en") ? u"x" : nullptr);
  for (CVekXMLNode* n = reader.FindChild(holder, entry); n; n = n->GetNextSibling()) {
    const char16_t* lang = n->GetAttribute(u"lang");
    sum += Touch(lang);
    CVekXMLNode* first = n->GetFirstChild();
    if (lang && std::char_traits<char16_t>::compare(lang, u"en", 3) == 0 && first &&
        first->GetType() == CVekXMLNode::NODE_TEXT) {
      sum += Touch(first->GetText());
      break;
    }
  }
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

struct InputFile {
  std::filesystem::path path = std::filesystem::temp_directory_path() /
                               ("xml_reader_fuzz_" + std::to_string(getpid()) + ".xml");
  ~InputFile() {
    std::error_code ignored;
    std::filesystem::remove(path, ignored);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > kMaxInput) return 0;
  static const InputFile input;
  static const std::u16string path = packprobe::Utf8ToUtf16(input.path.string());
  {
    // A fresh file each time: rewriting a truncated one makes some file
    // systems flush it to disk on close, which slows the run many times over.
    std::remove(input.path.c_str());
    std::FILE* file = std::fopen(input.path.c_str(), "wb");
    if (file == nullptr) return 0;
    const bool written = std::fwrite(data, 1, size, file) == size;
    if (std::fclose(file) != 0 || !written) return 0;
  }

  CVekXMLReader reader;
  const CVekXMLReader::LoadResult result = reader.Load(path);
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

  CVekXMLNode* package = reader.FindChild(nullptr, u"vek_package");
  if (package != nullptr) {
    sink = sink + ReadTranslation(reader, package, u"name", u"name_xlate");
    sink = sink + ReadTranslation(reader, package, u"category", u"category_xlate");
  }
  (void)sink;
  return 0;
}
