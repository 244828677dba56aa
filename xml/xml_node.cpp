#include "xml/xml_node.h"

#include <algorithm>
#include <utility>

namespace packprobe {
namespace {

std::size_t Length(const char16_t* text) { return std::char_traits<char16_t>::length(text); }

// The first count code units at text, up to a null code unit among them.
std::u16string_view Prefix(const char16_t* text, std::size_t count) {
  if (text == nullptr) return {};
  return std::u16string_view(text, std::find(text, text + count, u'\0') - text);
}

}  // namespace

CVekXMLNode::CVekXMLNode(const char16_t* name, const char16_t* const* attributes,
                         std::int32_t type)
    : m_nType(type) {
  if (name != nullptr) {
    const std::size_t length = Length(name);
    m_pszName = std::make_unique<char16_t[]>(length + 1);
    std::copy(name, name + length, m_pszName.get());
  }
  SetAttributes(attributes);
}

CVekXMLNode::~CVekXMLNode() {
  m_pszText.reset();
  // Releasing the first child and the next sibling the plain way would nest
  // one call per level and one per sibling. Instead, every node still to be
  // released hangs on one chain through the sibling links: a node whose
  // first child is taken off and put in front of it, until it has none, is
  // released alone. Each node moves once, so this is linear.
  std::unique_ptr<CVekXMLNode> chain = std::move(m_pNextSibling);
  while (m_pFirstChild) {
    std::unique_ptr<CVekXMLNode> child = std::move(m_pFirstChild);
    m_pFirstChild = std::move(child->m_pNextSibling);
    child->m_pNextSibling = std::move(chain);
    chain = std::move(child);
  }
  while (chain) {
    if (chain->m_pFirstChild) {
      std::unique_ptr<CVekXMLNode> child = std::move(chain->m_pFirstChild);
      chain->m_pFirstChild = std::move(child->m_pNextSibling);
      child->m_pNextSibling = std::move(chain);
      chain = std::move(child);
    } else {
      std::unique_ptr<CVekXMLNode> next = std::move(chain->m_pNextSibling);
      chain = std::move(next);  // releases a node without children or siblings
    }
  }
}

const char16_t* CVekXMLNode::GetAttribute(const char16_t* name) const {
  if (name == nullptr) return nullptr;
  const std::u16string_view wanted(name);
  for (std::size_t i = 0; i + 1 < m_ppszAttributes.size(); i += 2) {
    if (m_ppszAttributes[i] == wanted) return m_ppszAttributes[i + 1].c_str();
  }
  return nullptr;
}

std::uint32_t CVekXMLNode::GetAttributeCount() const {
  return static_cast<std::uint32_t>(m_ppszAttributes.size() / 2);
}

bool CVekXMLNode::AddChild(std::unique_ptr<CVekXMLNode> child) {
  child->m_pParent = this;
  if (m_pFirstChild) child->m_pNextSibling = std::move(m_pFirstChild);
  m_pFirstChild = std::move(child);
  return true;
}

void CVekXMLNode::SetAttributes(const char16_t* const* attributes) {
  if (attributes == nullptr || attributes[0] == nullptr) return;
  // Copied aside first, so that running out of memory leaves the attributes
  // held as they were.
  std::size_t count = 0;
  while (attributes[count] != nullptr) ++count;
  std::vector<std::u16string> copies;
  copies.reserve(count);
  for (std::size_t i = 0; i < count; ++i) copies.emplace_back(attributes[i]);
  m_ppszAttributes = std::move(copies);
}

void CVekXMLNode::SetText(const char16_t* text, std::size_t count) {
  m_pszText = std::make_unique<std::u16string>(Prefix(text, count));
}

void CVekXMLNode::AppendText(const char16_t* text, std::size_t count) {
  if (!m_pszText) {
    SetText(text, count);
    return;
  }
  // Appending either succeeds or leaves the string as it was.
  m_pszText->append(Prefix(text, count));
}

}  // namespace packprobe
