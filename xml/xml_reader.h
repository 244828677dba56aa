// Reads one XML file into a tree of CVekXMLNode and finds children in it.
//
// The whole file is read into memory and parsed in one pass; the tree holds
// the elements with their attributes, the character data that passes the
// white-space rule below, and CDATA sections. Comments, processing
// instructions and the document type declaration leave no trace.
//
// Character data reaches the reader in pieces: a line break is a piece of its
// own (one line feed), so is each character or entity reference, and the
// characters between such points form one piece, which the parser may split
// when the run is long. Only the first code unit of a piece is examined, and
// white space means exactly tab, line feed, vertical tab, form feed, carriage
// return and space:
// - after a start tag, a piece that begins with anything else starts a
//   "#TEXT" child; one that begins with white space drops it and all further
//   character data up to the next start tag or CDATA section;
// - after that, each piece that begins with white space is dropped alone and
//   every other one is appended to the "#TEXT" node created last, even when
//   that node belongs to an element that has been closed since;
// - inside a CDATA section every piece is kept, in a "#CDATA" child; after
//   the section, character data is dropped up to the next start tag.
// So white space between elements never makes a node, lines of a text are
// joined without a separator, and a text that begins with white space is
// dropped whole.
//
// Documents choose their encoding by byte-order mark or XML declaration
// (UTF-8 without either). Besides the parser's own encodings, "SHIFT_JIS" is
// accepted in any letter case, its two-byte characters decoded as code page
// 932 on every machine; a sequence that does not decode fails the parse.
//
// Process-wide effects: constructing a reader and every load set the process
// locale for all categories to the user's default, and every load makes
// binary the default file mode. Neither is undone. A program that loads on
// several threads calls SettleProcessSettings once before it starts them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/host_fault.h"
#include "xml/xml_node.h"

namespace packprobe {

class CVekXMLReader {
 public:
  enum LoadResult : std::int32_t {
    // The document was parsed; IsLoaded is true. Also returned with IsLoaded
    // false when memory ran out while the file was read, while the parser
    // worked or while any node of the tree was made or filled: a document
    // is loaded whole or not at all, never with an element, an attribute
    // or a text left out.
    LOAD_OK = 0,
    LOAD_NO_ROOT = 1,      // the document root could not be created
    LOAD_OPEN_FAILED = 3,  // no regular file could be opened at the path
    LOAD_READ_FAILED = 4,  // fewer bytes could be read than the file's size
    // Empty, not well-formed, an unknown encoding, or otherwise rejected
    // (among others: more than kMaxEntityDeclarations entity declarations).
    LOAD_PARSE_FAILED = 5,
  };

  // Documents that declare more entities than this are rejected: expanding a
  // chain of entities nests once per entity inside the parser, and a long
  // chain would exhaust the stack.
  static constexpr std::size_t kMaxEntityDeclarations = 256;

  // An empty reader: a fresh document root, nothing loaded.
  CVekXMLReader();
  virtual ~CVekXMLReader();

  CVekXMLReader(const CVekXMLReader&) = delete;
  CVekXMLReader& operator=(const CVekXMLReader&) = delete;

  // Discards any earlier tree, then reads and parses the file at path
  // (absolute or relative to the current directory, of any length). After a
  // failed parse the partly built tree stays under the root, but FindChild
  // does not search it. Callers treat any result but LOAD_OK as failure and,
  // after LOAD_OK, still test IsLoaded.
  LoadResult Load(const std::u16string& path);

  // Discards any earlier tree, then parses document, the bytes of a whole
  // file, with the same results as Load gives for a file holding them (the
  // file-only results 3 and 4 aside). The bytes need not outlive the call.
  LoadResult LoadFromMemory(std::string_view document);

  // True only when the last load parsed the whole document.
  bool IsLoaded() const { return m_bLoaded; }

  // The host's fault behind the last load's failure: kNoMemory when memory
  // ran out (LOAD_NO_ROOT, or LOAD_OK without a document; the parser's own
  // memory counts, and consults platform::AllocationAllowed), the system's
  // fault when the file could not be opened or read; kNone after a
  // successful load and when the file or the document is at fault.
  platform::HostFault GetHostFault() const { return m_hostFault; }

  // The document root, "#DOCROOT", whose only child is the document element;
  // null after Release. Every node pointer taken from the reader becomes
  // invalid at the next Load, Reset or Release.
  CVekXMLNode* GetRoot() const { return m_pRoot.get(); }

  // The first direct child of parent (null: the document root) whose name
  // equals name exactly; when attrName and attrValue are both given, it must
  // also carry the attribute attrName (exact name) with a value equal to
  // attrValue apart from letter case (CompareNoCase). Children are listed
  // latest first, so of two matches the one later in the document wins.
  // Null when nothing matches, when name is null, or when no document is
  // loaded.
  CVekXMLNode* FindChild(CVekXMLNode* parent, const char16_t* name,
                         const char16_t* attrName = nullptr,
                         const char16_t* attrValue = nullptr) const;

  // Releases the tree and the root; the reader holds nothing afterwards.
  void Release();

  // Releases what is held and starts over with a fresh, empty root (none if
  // it cannot be created), then sets the process locale to the user's
  // default.
  void Reset();

  // Sets the process locale to the user's default and makes binary the
  // default file mode, now and for the rest of the process, and stops every
  // reader from setting them again. Setting the locale while another thread
  // uses it is a data race, so programs that load documents on several
  // threads call this once before starting them. Idempotent.
  static void SettleProcessSettings();

 private:
  struct ParseContext;
  enum class ParseOutcome { kParsed, kRejected, kOutOfMemory };

  ParseOutcome Parse(const char* bytes, std::size_t size);
  // Parses into the fresh root and turns the outcome into a load result.
  LoadResult LoadParsed(const char* bytes, std::size_t size);
  // Notes that memory ran out and returns result.
  LoadResult OutOfMemory(LoadResult result);

  std::unique_ptr<CVekXMLNode> m_pRoot;
  // Encoding handed to the parser; nothing sets it, so the document decides.
  std::unique_ptr<char16_t[]> m_pszEncoding;
  bool m_bLoaded = false;
  platform::HostFault m_hostFault = platform::HostFault::kNone;
};

// Compares two strings after passing every code unit through the runtime's
// wide upper-casing under the current locale; negative, zero or positive
// like an ordinary string comparison. A null string sorts before any other.
int CompareNoCase(const char16_t* left, const char16_t* right);

}  // namespace packprobe
