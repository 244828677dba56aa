#include "xml/xml_reader.h"

#include <expat.h>

#include <atomic>
#include <climits>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cwctype>
#include <memory>
#include <new>
#include <optional>
#include <string_view>
#include <vector>

#include "platform/heap.h"
#include "platform/shift_jis.h"
#include "platform/stdio_file.h"
#include "util/ascii.h"

namespace packprobe {

static_assert(sizeof(XML_Char) == sizeof(char16_t),
              "the reader needs the parser built with 16-bit characters");

namespace {

using XmlString = std::basic_string<XML_Char>;

// The code units of a parser string; copied one by one because the parser's
// character type is not char16_t.
std::u16string ToUtf16(const XML_Char* text, std::size_t length) {
  std::u16string out(length, u'\0');
  for (std::size_t i = 0; i < length; ++i) out[i] = static_cast<char16_t>(text[i]);
  return out;
}

std::u16string ToUtf16(const XML_Char* text) {
  return ToUtf16(text, std::char_traits<XML_Char>::length(text));
}

// 0 for the six white-space code units of the character-data rule, 1 for
// every other one.
int IsNonSpace(XML_Char unit) {
  switch (unit) {
    case 9:
    case 10:
    case 11:
    case 12:
    case 13:
    case 32:
      return 0;
    default:
      return 1;
  }
}

// Encoding names are ASCII, so letter case is folded for ASCII only.
bool IsShiftJisName(const XML_Char* name) {
  static constexpr std::u16string_view kName = u"SHIFT_JIS";
  std::size_t i = 0;
  for (; name[i] != 0; ++i) {
    if (i == kName.size()) return false;
    if (!AsciiEqualIgnoringCase(static_cast<char16_t>(name[i]), kName[i])) return false;
  }
  return i == kName.size();
}

// What a single byte of a Shift_JIS document stands for, in the parser's
// convention: -1 an invalid byte, -2 the first byte of a two-byte sequence,
// otherwise the character.
int ShiftJisMap(int byte) {
  if (byte <= 0x08) return -1;
  if (byte <= 0x0F) return byte;
  if (byte <= 0x1F) return -1;
  if (byte <= 0x7F) return byte;
  if (byte <= 0x9F) return -2;
  if (byte <= 0xDF) return 0xFF60 + (byte - 0xA0);  // half-width katakana
  if (byte <= 0xFE) return -2;
  return -1;
}

// A negative result makes the parser reject the sequence.
int XMLCALL ConvertShiftJis(void* /*data*/, const char* bytes) {
  const std::optional<char16_t> unit = platform::DecodeShiftJisPair(
      static_cast<std::uint8_t>(bytes[0]), static_cast<std::uint8_t>(bytes[1]));
  return unit ? static_cast<int>(*unit) : -1;
}

int XMLCALL OnUnknownEncoding(void* /*data*/, const XML_Char* name, XML_Encoding* info) {
  if (!IsShiftJisName(name)) return XML_STATUS_ERROR;
  for (int byte = 0; byte < 256; ++byte) info->map[byte] = ShiftJisMap(byte);
  info->data = nullptr;
  info->convert = ConvertShiftJis;
  info->release = nullptr;
  return XML_STATUS_OK;
}

constexpr char16_t kDocumentRootName[] = u"#DOCROOT";

// The parser's own memory, taken where the rest of a load takes its memory
// from, so that the parser runs out when a load does: what it cannot
// allocate fails the parse with XML_ERROR_NO_MEMORY, which is the host's
// fault rather than the document's.
void* XMLCALL ParserAllocate(std::size_t size) {
  return platform::AllocationAllowed() ? std::malloc(size) : nullptr;
}
void* XMLCALL ParserReallocate(void* block, std::size_t size) {
  return platform::AllocationAllowed() ? std::realloc(block, size) : nullptr;
}
void XMLCALL ParserRelease(void* block) { std::free(block); }
constexpr XML_Memory_Handling_Suite kParserMemory{ParserAllocate, ParserReallocate,
                                                  ParserRelease};

}  // namespace

// The state of one parse, handed to every handler. The handlers run inside
// the parser's C code, which an exception must not cross: each catches what
// it throws and stops the parse instead.
struct CVekXMLReader::ParseContext {
  CVekXMLNode* pCurrent;             // receives the next element, text or CDATA node
  CVekXMLNode* pLastText = nullptr;  // the "#TEXT" node created last
  bool bKeepText = true;             // character data outside CDATA is accepted
  bool bNewText = true;              // the next accepted piece starts a "#TEXT" node
  bool bInCData = false;
  XML_Parser parser = nullptr;
  bool bOutOfMemory = false;  // set when a handler could not allocate
  std::size_t nEntityDeclarations = 0;

  void StopForMemory() {
    bOutOfMemory = true;
    XML_StopParser(parser, XML_FALSE);
  }

  // A child added to pCurrent, made the new pCurrent when descend is true.
  static CVekXMLNode* Add(ParseContext& context, std::unique_ptr<CVekXMLNode> node, bool descend) {
    CVekXMLNode* added = node.get();
    context.pCurrent->AddChild(std::move(node));
    if (descend) context.pCurrent = added;
    return added;
  }

  static void XMLCALL OnStartElement(void* data, const XML_Char* name, const XML_Char** atts) {
    auto& context = *static_cast<ParseContext*>(data);
    if (context.bOutOfMemory) return;
    context.bKeepText = true;
    context.bNewText = true;
    try {
      std::vector<std::u16string> strings;
      std::vector<const char16_t*> list;
      if (atts[0] != nullptr) {
        for (std::size_t i = 0; atts[i] != nullptr; ++i) strings.push_back(ToUtf16(atts[i]));
        list.reserve(strings.size() + 1);
        for (const std::u16string& s : strings) list.push_back(s.c_str());
        list.push_back(nullptr);
      }
      Add(context,
          std::make_unique<CVekXMLNode>(ToUtf16(name).c_str(), list.empty() ? nullptr : list.data(),
                                        CVekXMLNode::NODE_ELEMENT),
          true);
    } catch (...) {
      context.StopForMemory();
    }
  }

  static void XMLCALL OnEndElement(void* data, const XML_Char* /*name*/) {
    auto& context = *static_cast<ParseContext*>(data);
    if (context.bOutOfMemory) return;
    context.pCurrent = context.pCurrent->m_pParent;
  }

  static void XMLCALL OnStartCData(void* data) {
    auto& context = *static_cast<ParseContext*>(data);
    if (context.bOutOfMemory) return;
    context.bKeepText = true;
    context.bInCData = true;
    try {
      Add(context, std::make_unique<CVekXMLNode>(u"#CDATA", nullptr, CVekXMLNode::NODE_TEXT), true);
    } catch (...) {
      context.StopForMemory();
    }
  }

  static void XMLCALL OnEndCData(void* data) {
    auto& context = *static_cast<ParseContext*>(data);
    if (context.bOutOfMemory) return;
    context.bInCData = false;
    context.bKeepText = false;
    context.pCurrent = context.pCurrent->m_pParent;
  }

  static void XMLCALL OnCharacterData(void* data, const XML_Char* s, int len) {
    auto& context = *static_cast<ParseContext*>(data);
    if (context.bOutOfMemory || len <= 0) return;
    const auto length = static_cast<std::size_t>(len);
    try {
      if (context.bInCData) {
        context.pCurrent->AppendText(ToUtf16(s, length).c_str(), length);
        return;
      }
      if (!context.bKeepText) return;
      if (context.bNewText) {
        if (IsNonSpace(s[0])) {
          auto node = std::make_unique<CVekXMLNode>(u"#TEXT", nullptr, CVekXMLNode::NODE_TEXT);
          node->SetText(ToUtf16(s, length).c_str(), length);
          context.pLastText = Add(context, std::move(node), false);
          context.bNewText = false;
        } else {
          context.bKeepText = false;
        }
        return;
      }
      if (IsNonSpace(s[0])) context.pLastText->AppendText(ToUtf16(s, length).c_str(), length);
    } catch (...) {
      context.StopForMemory();
    }
  }

  static void XMLCALL OnEntityDeclaration(void* data, const XML_Char*, int, const XML_Char*, int,
                                          const XML_Char*, const XML_Char*, const XML_Char*,
                                          const XML_Char*) {
    auto& context = *static_cast<ParseContext*>(data);
    if (++context.nEntityDeclarations > kMaxEntityDeclarations) {
      XML_StopParser(context.parser, XML_FALSE);
    }
  }
};

namespace {

// Set once by SettleProcessSettings; from then on the process-wide settings
// stay as they are.
std::atomic<bool> processSettingsSettled{false};

bool ProcessSettingsSettled() { return processSettingsSettled.load(std::memory_order_acquire); }

}  // namespace

void CVekXMLReader::SettleProcessSettings() {
  if (ProcessSettingsSettled()) return;
  std::setlocale(LC_ALL, "");
  platform::SetBinaryDefaultFileMode();
  processSettingsSettled.store(true, std::memory_order_release);
}

CVekXMLReader::CVekXMLReader() { Reset(); }

CVekXMLReader::~CVekXMLReader() { Release(); }

void CVekXMLReader::Release() {
  m_pRoot.reset();
  m_pszEncoding.reset();
  m_bLoaded = false;
  m_hostFault = platform::HostFault::kNone;
}

void CVekXMLReader::Reset() {
  if (m_bLoaded || m_pRoot) Release();
  m_hostFault = platform::HostFault::kNone;
  try {
    m_pRoot = std::make_unique<CVekXMLNode>(kDocumentRootName, nullptr, CVekXMLNode::NODE_ELEMENT);
  } catch (const std::bad_alloc&) {
    m_pRoot.reset();
  }
  if (!ProcessSettingsSettled()) std::setlocale(LC_ALL, "");
}

CVekXMLReader::LoadResult CVekXMLReader::Load(const std::u16string& path) {
  Reset();
  if (!m_pRoot) return OutOfMemory(LOAD_NO_ROOT);
  if (!ProcessSettingsSettled()) platform::SetBinaryDefaultFileMode();
  try {
    const platform::StdioFile file = platform::OpenFileForReading(path, &m_hostFault);
    if (!file) return LOAD_OPEN_FAILED;
    std::size_t size = 0;
    if (std::fseek(file.get(), 0, SEEK_END) == 0) {
      const long end = std::ftell(file.get());
      // A size the runtime cannot report cannot be read whole either.
      if (end < 0) {
        m_hostFault = platform::LastSystemErrorFault();
        return LOAD_READ_FAILED;
      }
      size = static_cast<std::size_t>(end);
      std::rewind(file.get());
    }
    const auto buffer = std::make_unique_for_overwrite<char[]>(size);
    if (std::fread(buffer.get(), 1, size, file.get()) != size) {
      // A read error is the system's; a file that shrank meanwhile is not.
      if (std::ferror(file.get())) m_hostFault = platform::HostFault::kIo;
      return LOAD_READ_FAILED;
    }
    return LoadParsed(buffer.get(), size);
  } catch (const std::bad_alloc&) {
    return OutOfMemory(LOAD_OK);  // with m_bLoaded false, which callers test
  }
}

CVekXMLReader::LoadResult CVekXMLReader::OutOfMemory(LoadResult result) {
  m_hostFault = platform::HostFault::kNoMemory;
  return result;
}

CVekXMLReader::LoadResult CVekXMLReader::LoadFromMemory(std::string_view document) {
  Reset();
  if (!m_pRoot) return OutOfMemory(LOAD_NO_ROOT);
  // The process settings of a load from a file, so that what is printed
  // after the inspection is converted alike whichever way the metadata came.
  if (!ProcessSettingsSettled()) platform::SetBinaryDefaultFileMode();
  try {
    return LoadParsed(document.data(), document.size());
  } catch (const std::bad_alloc&) {
    return OutOfMemory(LOAD_OK);  // with m_bLoaded false, which callers test
  }
}

CVekXMLReader::LoadResult CVekXMLReader::LoadParsed(const char* bytes, std::size_t size) {
  switch (Parse(bytes, size)) {
    case ParseOutcome::kParsed:
      m_bLoaded = true;
      return LOAD_OK;
    case ParseOutcome::kOutOfMemory:
      return OutOfMemory(LOAD_OK);  // with m_bLoaded false, which callers test
    case ParseOutcome::kRejected:
      break;
  }
  return LOAD_PARSE_FAILED;
}

CVekXMLReader::ParseOutcome CVekXMLReader::Parse(const char* bytes, std::size_t size) {
  XmlString encoding;
  if (m_pszEncoding) {
    for (const char16_t* p = m_pszEncoding.get(); *p != 0; ++p) {
      encoding.push_back(static_cast<XML_Char>(*p));
    }
  }
  const XML_Parser parser =
      XML_ParserCreate_MM(m_pszEncoding ? encoding.c_str() : nullptr, &kParserMemory, nullptr);
  // Creating a parser fails for lack of memory alone.
  if (parser == nullptr) return ParseOutcome::kOutOfMemory;

  ParseContext context{m_pRoot.get()};
  context.parser = parser;
  XML_SetUserData(parser, &context);
  XML_SetElementHandler(parser, ParseContext::OnStartElement, ParseContext::OnEndElement);
  XML_SetCharacterDataHandler(parser, ParseContext::OnCharacterData);
  XML_SetCdataSectionHandler(parser, ParseContext::OnStartCData, ParseContext::OnEndCData);
  XML_SetUnknownEncodingHandler(parser, OnUnknownEncoding, nullptr);
  XML_SetEntityDeclHandler(parser, ParseContext::OnEntityDeclaration);

  // The parser takes its length as an int; a larger file goes in several
  // calls, which parse it the same way.
  XML_Status status = XML_STATUS_OK;
  while (status == XML_STATUS_OK && size > static_cast<std::size_t>(INT_MAX)) {
    status = XML_Parse(parser, bytes, INT_MAX, XML_FALSE);
    bytes += INT_MAX;
    size -= INT_MAX;
  }
  if (status == XML_STATUS_OK) status = XML_Parse(parser, bytes, static_cast<int>(size), XML_TRUE);
  const bool parserOutOfMemory =
      status != XML_STATUS_OK && XML_GetErrorCode(parser) == XML_ERROR_NO_MEMORY;
  XML_ParserFree(parser);

  if (context.bOutOfMemory || parserOutOfMemory) return ParseOutcome::kOutOfMemory;
  return status == XML_STATUS_OK ? ParseOutcome::kParsed : ParseOutcome::kRejected;
}

CVekXMLNode* CVekXMLReader::FindChild(CVekXMLNode* parent, const char16_t* name,
                                      const char16_t* attrName,
                                      const char16_t* attrValue) const {
  if (!m_bLoaded || name == nullptr) return nullptr;
  if (parent == nullptr) parent = m_pRoot.get();
  const std::u16string_view wanted(name);
  for (CVekXMLNode* child = parent->GetFirstChild(); child != nullptr;
       child = child->GetNextSibling()) {
    if (child->GetName() == nullptr || wanted != child->GetName()) continue;
    if (attrName != nullptr && attrValue != nullptr) {
      const char16_t* value = child->GetAttribute(attrName);
      if (value == nullptr || CompareNoCase(value, attrValue) != 0) continue;
    }
    return child;
  }
  return nullptr;
}

namespace {

char16_t ToUpper(char16_t unit) {
  const auto upper = static_cast<std::uint32_t>(std::towupper(static_cast<std::wint_t>(unit)));
  return upper <= 0xFFFF ? static_cast<char16_t>(upper) : unit;
}

}  // namespace

int CompareNoCase(const char16_t* left, const char16_t* right) {
  if (left == nullptr || right == nullptr) return (left != nullptr) - (right != nullptr);
  for (;; ++left, ++right) {
    const char16_t a = ToUpper(*left);
    const char16_t b = ToUpper(*right);
    if (a != b) return a < b ? -1 : 1;
    if (a == 0) return 0;
  }
}

}  // namespace packprobe
