// Running out of memory at every allocation of a node and of a load.
//
// This test program replaces the global allocation functions so that one
// chosen allocation can be made to fail. The reader's handlers run inside
// the parser's C code; a failure there must end as a result value, never as
// an exception through the parser, a leak or a crash.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <optional>
#include <string>

#include "platform/heap.h"
#include "tests/support/scratch_dir.h"
#include "util/text.h"
#include "xml/xml_node.h"
#include "xml/xml_reader.h"

namespace {

bool g_armed = false;
std::size_t g_countdown = 0;  // allocations that still succeed while armed
bool g_failed = false;        // whether the armed failure happened
long g_live = 0;              // blocks allocated and not yet released

void* Allocate(std::size_t size) {
  if (g_armed) {
    if (g_countdown == 0) {
      g_armed = false;
      g_failed = true;
      throw std::bad_alloc();
    }
    --g_countdown;
  }
  if (void* p = std::malloc(size == 0 ? 1 : size)) {
    ++g_live;
    return p;
  }
  throw std::bad_alloc();
}

void Release(void* p) {
  if (p != nullptr) --g_live;
  std::free(p);
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

// Runs step(allowed) for allowed = 0, 1, 2, ...: each step fails the
// allocation after the first `allowed` of what it tests and returns whether
// one failed, so every allocation fails once; the sweep ends with the first
// step that ran without a failure. No step may keep a block. Returns the
// number of failures.
template <typename Step>
int SweepAllocations(Step step) {
  for (std::size_t allowed = 0;; ++allowed) {
    const long live = g_live;
    const bool failed = step(allowed);
    EXPECT_EQ(g_live, live) << "a block leaked when allocation " << allowed << " failed";
    if (!failed) return static_cast<int>(allowed);
  }
}

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
void operator delete(void* p) noexcept { Release(p); }
void operator delete[](void* p) noexcept { Release(p); }
void operator delete(void* p, std::size_t) noexcept { Release(p); }
void operator delete[](void* p, std::size_t) noexcept { Release(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { Release(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { Release(p); }

namespace packprobe {
namespace {

// A failed copy leaves nothing half made: the constructor throws and makes
// no node, a text that cannot be set anew or grown stays as it was.
TEST(OutOfMemoryTest, ANodeIsMadeOrChangedWholeOrNotAtAll) {
  const char16_t* attributes[] = {u"lang", u"en", nullptr};
  EXPECT_GE(SweepAllocations([&](std::size_t allowed) {
              std::optional<CVekXMLNode> node;
              bool threw = false;
              try {
                FailAllocation fail(allowed);
                node.emplace(u"name_xlate", attributes, CVekXMLNode::NODE_ELEMENT);
              } catch (const std::bad_alloc&) {
                threw = true;
              }
              EXPECT_EQ(threw, g_failed) << allowed;
              if (!threw) {
                EXPECT_EQ(std::u16string(node->GetName()), u"name_xlate");
                EXPECT_EQ(std::u16string(node->GetAttribute(u"lang")), u"en");
              }
              return g_failed;
            }),
            2);  // the name and the attributes

  const std::u16string more(100, u'x');
  for (const bool append : {false, true}) {
    EXPECT_GE(SweepAllocations([&](std::size_t allowed) {
                CVekXMLNode text(u"#TEXT", nullptr, CVekXMLNode::NODE_TEXT);
                text.SetText(u"short", 5);
                try {
                  FailAllocation fail(allowed);
                  append ? text.AppendText(more.c_str(), more.size())
                         : text.SetText(more.c_str(), more.size());
                } catch (const std::bad_alloc&) {
                }
                const std::u16string expected = g_failed ? u"short" : append ? u"short" + more : more;
                EXPECT_EQ(std::u16string(text.GetText()), expected) << allowed;
                return g_failed;
              }),
              1);
  }
}

// Every allocation of a load fails once, the parser's own included: each
// failure ends in LOAD_NO_ROOT without a root, or in LOAD_OK with nothing
// loaded and the host's fault "no memory"; never in a document with a part
// left out, an exception through the parser, a crash or a leak.
TEST(OutOfMemoryTest, EveryFailedAllocationOfALoadFailsTheLoad) {
  testsupport::ScratchDir dir;
  const std::string document =
      "<?xml version='1.0' encoding='Shift_JIS'?><vek_package a='1' b='2'>"
      "<name><name_xlate lang='en'>Storage\nDriver &amp; more</name_xlate></name>"
      "<category><![CDATA[ x\n]]></category>" +
      std::string(3000, 'y') + "</vek_package>";
  testsupport::WriteFile(dir / "doc.xml", document);
  const std::u16string path = Utf8ToUtf16((dir / "doc.xml").string());

  const auto check = [](const CVekXMLReader& reader, CVekXMLReader::LoadResult result,
                        bool failed, std::size_t allowed) {
    if (!failed) {
      EXPECT_EQ(result, CVekXMLReader::LOAD_OK);
      EXPECT_TRUE(reader.IsLoaded());
      EXPECT_NE(reader.FindChild(nullptr, u"vek_package"), nullptr);
      return false;
    }
    if (result == CVekXMLReader::LOAD_NO_ROOT) {
      EXPECT_EQ(reader.GetRoot(), nullptr) << allowed;
    } else {
      EXPECT_EQ(result, CVekXMLReader::LOAD_OK) << allowed;
    }
    EXPECT_FALSE(reader.IsLoaded()) << allowed;
    EXPECT_EQ(reader.FindChild(nullptr, u"vek_package"), nullptr);
    EXPECT_EQ(reader.GetHostFault(), platform::HostFault::kNoMemory) << allowed;
    return true;
  };
  // Objects of the tree and the handlers (operator new).
  EXPECT_GT(SweepAllocations([&](std::size_t allowed) {
              CVekXMLReader reader;
              CVekXMLReader::LoadResult result;
              {
                FailAllocation fail(allowed);
                result = reader.Load(path);
              }
              return check(reader, result, g_failed, allowed);
            }),
            20);
  // The parser's memory, exhausted from the n-th block on.
  int parserPoints = 0;
  for (int successes = 0;; ++successes, ++parserPoints) {
    CVekXMLReader reader;
    CVekXMLReader::LoadResult result;
    int refused = 0;
    {
      platform::SimulatedHeapExhaustion exhausted(successes);
      result = reader.Load(path);
      refused = exhausted.refused();
    }
    if (!check(reader, result, refused != 0, static_cast<std::size_t>(successes))) break;
  }
  EXPECT_GT(parserPoints, 2);
}

}  // namespace
}  // namespace packprobe
