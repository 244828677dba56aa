#include "xml/xml_node.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace packprobe {
namespace {

// Counts the nodes alive, so that releases can be checked one by one.
class CountedNode : public CVekXMLNode {
 public:
  static inline int live = 0;
  explicit CountedNode(const char16_t* name, const char16_t* const* attributes = nullptr)
      : CVekXMLNode(name, attributes, NODE_ELEMENT) {
    ++live;
  }
  ~CountedNode() override { --live; }
};

std::u16string Names(const CVekXMLNode& parent) {
  std::u16string names;
  for (const CVekXMLNode* n = parent.GetFirstChild(); n; n = n->GetNextSibling()) {
    names += n->GetName();
  }
  return names;
}

TEST(XmlNodeTest, AttributesMatchByExactNameInGivenOrder) {
  const char16_t* list[] = {u"lang", u"en", u"Lang", u"de", u"empty", u"", u"lang", u"fr", nullptr};
  CVekXMLNode node(u"x", list, CVekXMLNode::NODE_ELEMENT);
  EXPECT_EQ(node.GetAttributeCount(), 4u);
  EXPECT_EQ(std::u16string(node.GetAttribute(u"lang")), u"en");  // the first of equal names
  EXPECT_EQ(std::u16string(node.GetAttribute(u"Lang")), u"de");
  ASSERT_NE(node.GetAttribute(u"empty"), nullptr);
  EXPECT_EQ(std::u16string(node.GetAttribute(u"empty")), u"");
  EXPECT_EQ(node.GetAttribute(u"LANG"), nullptr);
  EXPECT_EQ(node.GetAttribute(u"lan"), nullptr);
  EXPECT_EQ(node.GetAttribute(u"en"), nullptr);  // values are not names

  // The node keeps its own copies.
  list[1] = u"changed";
  EXPECT_EQ(std::u16string(node.GetAttribute(u"lang")), u"en");

  // An empty list leaves what is held; a new list replaces it.
  const char16_t* empty[] = {nullptr};
  node.SetAttributes(empty);
  node.SetAttributes(nullptr);
  EXPECT_EQ(node.GetAttributeCount(), 4u);
  const char16_t* other[] = {u"id", u"7", nullptr};
  node.SetAttributes(other);
  EXPECT_EQ(node.GetAttributeCount(), 1u);
  EXPECT_EQ(node.GetAttribute(u"lang"), nullptr);
}

TEST(XmlNodeTest, NodeWithoutAttributesAnswersNothing) {
  CVekXMLNode node(u"x", nullptr, CVekXMLNode::NODE_ELEMENT);
  EXPECT_EQ(node.GetAttributeCount(), 0u);
  EXPECT_EQ(node.GetAttribute(u"lang"), nullptr);
  EXPECT_EQ(node.GetAttribute(u""), nullptr);
  EXPECT_EQ(node.GetText(), nullptr);
  EXPECT_EQ(node.GetType(), CVekXMLNode::NODE_ELEMENT);
}

TEST(XmlNodeTest, SetTextCopiesCountUnitsAndReplaces) {
  CVekXMLNode node(u"#TEXT", nullptr, CVekXMLNode::NODE_TEXT);
  node.SetText(u"abcdef", 3);
  EXPECT_EQ(std::u16string(node.GetText()), u"abc");
  node.SetText(u"xy", 2);
  EXPECT_EQ(std::u16string(node.GetText()), u"xy");
  node.SetText(u"q", 0);
  ASSERT_NE(node.GetText(), nullptr);
  EXPECT_EQ(std::u16string(node.GetText()), u"");

  // The copy ends at a null code unit; appending continues from there.
  const char16_t withNull[] = {u'a', u'\0', u'b'};
  node.SetText(withNull, 3);
  EXPECT_EQ(std::u16string(node.GetText()), u"a");
  node.AppendText(u"cd", 2);
  EXPECT_EQ(std::u16string(node.GetText()), u"acd");

  CVekXMLNode fresh(u"#CDATA", nullptr, CVekXMLNode::NODE_TEXT);
  fresh.AppendText(u"12345", 2);
  EXPECT_EQ(std::u16string(fresh.GetText()), u"12");
}

// Children are listed latest first; a node owns its subtree and every
// later sibling.
TEST(XmlNodeTest, ChildrenAreListedLatestFirstAndReleasedWithTheirParent) {
  CountedNode::live = 0;
  {
    CountedNode root(u"root");
    EXPECT_EQ(root.GetFirstChild(), nullptr);
    auto a = std::make_unique<CountedNode>(u"a");
    const CVekXMLNode* first = a.get();
    a->AddChild(std::make_unique<CountedNode>(u"a1"));
    a->AddChild(std::make_unique<CountedNode>(u"a2"));
    auto b = std::make_unique<CountedNode>(u"b");
    b->AddChild(std::make_unique<CountedNode>(u"b1"));
    EXPECT_TRUE(root.AddChild(std::move(a)));
    root.AddChild(std::move(b));
    root.AddChild(std::make_unique<CountedNode>(u"c"));
    EXPECT_EQ(Names(root), u"cba");
    EXPECT_EQ(Names(*first), u"a2a1");
    EXPECT_EQ(first->GetNextSibling(), nullptr);
    EXPECT_EQ(CountedNode::live, 7);
  }
  EXPECT_EQ(CountedNode::live, 0);
}

// Enough levels and siblings to exhaust the stack of a release that nests
// per level or per sibling.
TEST(XmlNodeTest, ReleasesVeryDeepAndVeryWideTreesWithoutRecursing) {
  constexpr int kCount = 300'000;
  CountedNode::live = 0;
  {
    auto root = std::make_unique<CountedNode>(u"root");
    CVekXMLNode* current = root.get();
    for (int i = 0; i < kCount; ++i) {
      auto child = std::make_unique<CountedNode>(u"d");
      CVekXMLNode* next = child.get();
      current->AddChild(std::move(child));
      current->AddChild(std::make_unique<CountedNode>(u"w"));  // a sibling at each level
      current = next;
    }
    for (int i = 0; i < kCount; ++i) current->AddChild(std::make_unique<CountedNode>(u"w"));
    EXPECT_EQ(CountedNode::live, 3 * kCount + 1);
  }
  EXPECT_EQ(CountedNode::live, 0);
}

}  // namespace
}  // namespace packprobe
