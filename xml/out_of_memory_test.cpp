// Running out of memory at every allocation of a node and of a load.
//
// This test program replaces the global allocation functions so that one
// chosen allocation can be made to fail. The reader's handlers run inside
// the parser's C code; a failure there must end as a result value, never as
// an exception through the parser, a leak or a crash.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <string>

#include "util/text.h"
#include "tests/support/scratch_dir.h"
#include "xml/xml_node.h"
#include "xml/xml_reader.h"

namespace {

bool g_armed = false;
std::size_t g_countdown = 0;  // allocations that still succeed while armed
bool g_failed = false;        // whether the armed failure happened

void* Allocate(std::size_t size) {
  if (g_armed) {
    if (g_countdown == 0) {
      g_armed = false;
      g_failed = true;
      throw std::bad_alloc();
    }
    --g_countdown;
  }
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}

// Fails the allocation that follows the first `allowed` ones while it lives.
class FailAllocation {
 public:
  explicit FailAllocation(std::size_t allowed) {
    g_countdown = allowed;
    g_failed = false;
    g_armed = true;
  }
  ~FailAllocation() { g_armed = false; }
  FailAllocation(const FailAllocation&) = delete;
  FailAllocation& operator=(const FailAllocation&) = delete;
};

}  // namespace

void* operator new(std::size_t size) { return Allocate(size); }
void* operator new[](std::size_t size) { return Allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return Allocate(size);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept {
  return operator new(size, tag);
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

namespace packprobe {
namespace {

TEST(OutOfMemoryTest, NodeKeepsWhatCouldBeStored) {
  const char16_t* attributes[] = {u"lang", u"en", nullptr};
  {
    FailAllocation fail(0);  // the name
    CVekXMLNode node(u"name_xlate", attributes, CVekXMLNode::NODE_ELEMENT);
    ASSERT_TRUE(g_failed);
    EXPECT_EQ(node.GetName(), nullptr);
    EXPECT_EQ(node.GetType(), CVekXMLNode::NODE_UNSET);
    EXPECT_EQ(node.GetAttributeCount(), 1u);
  }
  {
    FailAllocation fail(1);  // the attribute list
    CVekXMLNode node(u"name_xlate", attributes, CVekXMLNode::NODE_ELEMENT);
    ASSERT_TRUE(g_failed);
    EXPECT_EQ(std::u16string(node.GetName()), u"name_xlate");
    EXPECT_EQ(node.GetAttributeCount(), 0u);
    EXPECT_EQ(node.GetAttribute(u"lang"), nullptr);
  }
  CVekXMLNode text(u"#TEXT", nullptr, CVekXMLNode::NODE_TEXT);
  text.SetText(u"old", 3);
  {
    FailAllocation fail(0);
    text.SetText(u"new", 3);
    ASSERT_TRUE(g_failed);
  }
  EXPECT_EQ(text.GetText(), nullptr);
  text.SetText(u"short", 5);
  const std::u16string longer(100, u'x');
  {
    FailAllocation fail(0);
    text.AppendText(longer.c_str(), longer.size());  // must grow its storage
    ASSERT_TRUE(g_failed);
  }
  EXPECT_EQ(text.GetText(), nullptr);
}

// Fails each allocation of a load in turn, until a load runs without one.
TEST(OutOfMemoryTest, EveryFailedAllocationOfALoadEndsInAResult) {
  testsupport::ScratchDir dir;
  const std::string document =
      "<?xml version='1.0' encoding='Shift_JIS'?><vek_package a='1' b='2'>"
      "<name><name_xlate lang='en'>Storage\nDriver &amp; more</name_xlate></name>"
      "<category><![CDATA[ x\n]]></category>" +
      std::string(3000, 'y') + "</vek_package>";
  testsupport::WriteFile(dir / "doc.xml", document);
  const std::u16string path = Utf8ToUtf16((dir / "doc.xml").string());
  CVekXMLReader reader;

  int unloaded = 0;
  for (std::size_t allowed = 0;; ++allowed) {
    CVekXMLReader::LoadResult result;
    bool failed;
    {
      FailAllocation fail(allowed);
      result = reader.Load(path);
      failed = g_failed;
    }
    if (!failed) {
      EXPECT_EQ(result, CVekXMLReader::LOAD_OK);
      EXPECT_TRUE(reader.IsLoaded());
      EXPECT_GT(allowed, 20u);
      break;
    }
    ASSERT_TRUE(result == CVekXMLReader::LOAD_OK || result == CVekXMLReader::LOAD_NO_ROOT)
        << "allocation " << allowed << " gave " << result;
    if (!reader.IsLoaded()) {
      ++unloaded;
      EXPECT_EQ(reader.FindChild(nullptr, u"vek_package"), nullptr);
    }
  }
  EXPECT_GT(unloaded, 10);
}

}  // namespace
}  // namespace packprobe
