// One node of a parsed XML document: the document root, an element, a kept
// run of character data ("#TEXT") or a CDATA section ("#CDATA").
//
// A node owns its name, attributes and text, its first child and its next
// sibling, and so its whole subtree and every later node of its parent's
// child list. Children are prepended: a child list runs from the child added
// last to the child added first, which for a parsed document is reverse
// document order. Pointers handed out by the accessors stay owned by the
// tree. Strings are null-terminated UTF-16, stored exactly as given.
//
// Running out of memory while a string is copied throws std::bad_alloc and
// changes nothing: the constructor makes no node, a setter leaves the node
// as it was. A node never stands with part of what it was given, so that a
// tree built from a document holds the document or is not built at all.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace packprobe {

class CVekXMLNode {
 public:
  enum NodeType : std::int32_t {
    NODE_UNSET = -1,   // no type; no node that the reader builds has it
    NODE_ELEMENT = 0,  // elements and the document root
    NODE_TEXT = 1,     // "#TEXT" and "#CDATA" nodes
  };

  // A node named name (null: no name), with the attributes of the list (see
  // SetAttributes), of the given type.
  CVekXMLNode(const char16_t* name, const char16_t* const* attributes, std::int32_t type);

  // Releases the node, its subtree and every later sibling, without
  // recursing per level or per sibling, so any depth and width is safe.
  virtual ~CVekXMLNode();

  CVekXMLNode(const CVekXMLNode&) = delete;
  CVekXMLNode& operator=(const CVekXMLNode&) = delete;

  const char16_t* GetName() const { return m_pszName.get(); }
  std::int32_t GetType() const { return m_nType; }
  // Null when no text was set (every element, an empty CDATA section).
  const char16_t* GetText() const { return m_pszText ? m_pszText->c_str() : nullptr; }
  // Null for a node without children.
  CVekXMLNode* GetFirstChild() const { return m_pFirstChild.get(); }
  // Null at the end of the list.
  CVekXMLNode* GetNextSibling() const { return m_pNextSibling.get(); }

  // The value of the first attribute whose name equals name exactly (case
  // matters); null when there is none. An attribute written with an empty
  // value answers an empty string.
  const char16_t* GetAttribute(const char16_t* name) const;

  // The number of name-value pairs held; 0 when there are none.
  std::uint32_t GetAttributeCount() const;

  // Links child (not null) in at the head of this node's child list and makes
  // this node its parent. Always true.
  bool AddChild(std::unique_ptr<CVekXMLNode> child);

  // attributes: names and values alternating, ended by a null entry, in the
  // order the parser reports them (start-tag order). A null list or one whose
  // first entry is null changes nothing; otherwise the list replaces the
  // attributes held.
  void SetAttributes(const char16_t* const* attributes);

  // Replaces the text by the first count code units at text (which need not
  // be terminated); the text ends at a null code unit among them.
  void SetText(const char16_t* text, std::size_t count);

  // Appends the first count code units at text to the text held (an absent
  // text counting as empty), with the same result as SetText of the joined
  // text, but without copying what is already held.
  void AppendText(const char16_t* text, std::size_t count);

 private:
  // The reader's handlers follow the parent link, which has no accessor.
  friend class CVekXMLReader;

  std::int32_t m_nType = NODE_UNSET;
  std::unique_ptr<char16_t[]> m_pszName;
  // Names and values alternating; empty when the node has no attributes.
  std::vector<std::u16string> m_ppszAttributes;
  std::unique_ptr<std::u16string> m_pszText;
  std::unique_ptr<CVekXMLNode> m_pNextSibling;
  std::unique_ptr<CVekXMLNode> m_pFirstChild;
  CVekXMLNode* m_pParent = nullptr;  // not owned
};

}  // namespace packprobe
