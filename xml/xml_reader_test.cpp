#include "xml/xml_reader.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "util/text.h"
#include "tests/support/scratch_dir.h"

namespace packprobe {
namespace {

namespace fs = std::filesystem;

std::string Utf8(const char16_t* text) { return text ? Utf16ToUtf8(text) : "<null>"; }

// A compact picture of a subtree in child-list order (latest first):
// name, "=text" when there is text, "{children}" when there are children.
std::string Describe(const CVekXMLNode* node) {
  std::string out = Utf8(node->GetName());
  if (node->GetText()) {
    // Appended in two steps: "=" + text trips a false -Wrestrict in GCC 12 at -O2.
    out += '=';
    out += Utf8(node->GetText());
  }
  if (node->GetFirstChild()) {
    out += "{";
    for (const CVekXMLNode* c = node->GetFirstChild(); c; c = c->GetNextSibling()) {
      if (c != node->GetFirstChild()) out += ",";
      out += Describe(c);
    }
    out += "}";
  }
  return out;
}

class XmlReaderTest : public ::testing::Test {
 protected:
  std::u16string PathOf(const fs::path& path) { return path.u16string(); }

  CVekXMLReader::LoadResult LoadDocument(const std::string& bytes) {
    testsupport::WriteFile(dir_ / "doc.xml", bytes);
    return reader_.Load(PathOf(dir_ / "doc.xml"));
  }

  // The tree of a document that must load, from its document element down.
  std::string TreeOf(const std::string& bytes) {
    EXPECT_EQ(LoadDocument(bytes), CVekXMLReader::LOAD_OK) << bytes;
    EXPECT_TRUE(reader_.IsLoaded()) << bytes;
    const CVekXMLNode* element = reader_.GetRoot()->GetFirstChild();
    return element ? Describe(element) : "<none>";
  }

  testsupport::ScratchDir dir_;
  CVekXMLReader reader_;
};

// The character-data rules decide which text becomes a display name; each
// of their consequences on a real document.
TEST_F(XmlReaderTest, WhiteSpaceBetweenElementsMakesNoNode) {
  EXPECT_EQ(TreeOf("<a>\n  <b>x</b>\n\t<c/>\r\n  <d> </d>\n</a>\n"), "a{d,c,b{#TEXT=x}}");
}

TEST_F(XmlReaderTest, TextThatBeginsWithWhiteSpaceIsDroppedWhole) {
  EXPECT_EQ(TreeOf("<a> Storage Controller</a>"), "a");
  EXPECT_EQ(TreeOf("<a>\nStorage Controller</a>"), "a");
  EXPECT_EQ(TreeOf("<a>\tStorage</a>"), "a");
  EXPECT_EQ(TreeOf("<a>&#32;Storage</a>"), "a");
  EXPECT_EQ(TreeOf("<a>&#13;Storage</a>"), "a");
  EXPECT_EQ(TreeOf("<a>&#33;Storage&#13;x</a>"), "a{#TEXT=!Storagex}");
  // Never trimmed at the end.
  EXPECT_EQ(TreeOf("<a>Storage \t</a>"), "a{#TEXT=Storage \t}");
}

TEST_F(XmlReaderTest, LinesAreJoinedAndIndentedLinesDropped) {
  EXPECT_EQ(TreeOf("<a>two words\nthird</a>"), "a{#TEXT=two wordsthird}");
  EXPECT_EQ(TreeOf("<a>two words\r\nthird\rfourth</a>"), "a{#TEXT=two wordsthirdfourth}");
  EXPECT_EQ(TreeOf("<a>two words\n  third</a>"), "a{#TEXT=two words}");
  EXPECT_EQ(TreeOf("<a>one\n  two\nthree</a>"), "a{#TEXT=onethree}");
}

TEST_F(XmlReaderTest, EachReferenceIsAPieceOfItsOwn) {
  EXPECT_EQ(TreeOf("<a>word &amp; second</a>"), "a{#TEXT=word &}");
  EXPECT_EQ(TreeOf("<a>x&#32;y&lt;z</a>"), "a{#TEXT=xy<z}");
  EXPECT_EQ(TreeOf("<a>&quot;quoted&quot;</a>"), "a{#TEXT=\"quoted\"}");
  // Comments and processing instructions leave no trace, not even a break.
  EXPECT_EQ(TreeOf("<a>x<!-- c -->y<?pi data?>z</a>"), "a{#TEXT=xyz}");
}

TEST_F(XmlReaderTest, TextAfterAnEndTagContinuesTheLastText) {
  EXPECT_EQ(TreeOf("<a><b>x</b>y</a>"), "a{b{#TEXT=xy}}");
  EXPECT_EQ(TreeOf("<r><a><b>x</b></a>y\nz</r>"), "r{a{b{#TEXT=xyz}}}");
  // A start tag begins afresh, in the element that holds the text.
  EXPECT_EQ(TreeOf("<a><b>x</b><c/>y</a>"), "a{#TEXT=y,c,b{#TEXT=x}}");
  EXPECT_EQ(TreeOf("<a>x<b/>y<c/>z</a>"), "a{#TEXT=z,c,#TEXT=y,b,#TEXT=x}");
}

TEST_F(XmlReaderTest, CDataKeepsEverythingAndEndsTheText) {
  EXPECT_EQ(TreeOf("<a>t<![CDATA[ x &amp; \r\n  y ]]> after\nmore</a>"),
            "a{#CDATA= x &amp; \n  y ,#TEXT=t}");
  EXPECT_EQ(TreeOf("<a><![CDATA[x]]>y<b/>z</a>"), "a{#TEXT=z,b,#CDATA=x}");
  EXPECT_EQ(TreeOf("<a><![CDATA[ ]]><![CDATA[]]></a>"), "a{#CDATA,#CDATA= }");

  const CVekXMLNode* empty = reader_.FindChild(reader_.FindChild(nullptr, u"a"), u"#CDATA");
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(empty->GetType(), CVekXMLNode::NODE_TEXT);
  EXPECT_EQ(empty->GetText(), nullptr);
}

TEST_F(XmlReaderTest, LongTextSplitByTheParserIsJoined) {
  const std::string text(5000, 'x');
  EXPECT_EQ(TreeOf("<a>" + text + "</a>"), "a{#TEXT=" + text + "}");
  const std::string cdata(3000, '\n');
  EXPECT_EQ(TreeOf("<a><![CDATA[" + cdata + "]]></a>"), "a{#CDATA=" + cdata + "}");
}

TEST_F(XmlReaderTest, ElementsKeepNamesAndAttributesAsWritten) {
  EXPECT_EQ(TreeOf("<p:Pkg xmlns:p='u'><a n='1'/><b/><a n='2'/></p:Pkg>"), "p:Pkg{a,b,a}");
  const CVekXMLNode* package = reader_.FindChild(nullptr, u"p:Pkg");
  ASSERT_NE(package, nullptr);
  EXPECT_EQ(Utf8(package->GetFirstChild()->GetAttribute(u"n")), "2");
  EXPECT_EQ(Utf8(package->GetFirstChild()->GetNextSibling()->GetNextSibling()->GetAttribute(u"n")),
            "1");
  EXPECT_EQ(Utf8(package->GetAttribute(u"xmlns:p")), "u");

  TreeOf("<a lang='' Lang='en' v=' x&amp;&#65;\n y '/>");
  const CVekXMLNode* a = reader_.FindChild(nullptr, u"a");
  EXPECT_EQ(a->GetAttributeCount(), 3u);
  EXPECT_EQ(Utf8(a->GetAttribute(u"lang")), "");
  EXPECT_EQ(Utf8(a->GetAttribute(u"Lang")), "en");
  EXPECT_EQ(Utf8(a->GetAttribute(u"v")), " x&A  y ");
  EXPECT_EQ(a->GetAttribute(u"missing"), nullptr);
}

TEST_F(XmlReaderTest, DeclaredEntitiesExpandAndDeclarationsLeaveNoTrace) {
  EXPECT_EQ(TreeOf("<?xml version='1.0'?><!DOCTYPE a [<!ENTITY n 'Name'>"
                   "<!ENTITY full '&n; Plus'>]><!-- c --><a v='&full;'>&full;</a>"),
            "a{#TEXT=Name}");
  EXPECT_EQ(Utf8(reader_.FindChild(nullptr, u"a")->GetAttribute(u"v")), "Name Plus");
}

// Each entity in a chain of references nests once more inside the parser;
// a long chain must fail the load, not exhaust the stack.
TEST_F(XmlReaderTest, RejectsDocumentsWithManyEntityDeclarations) {
  // count entities, each but the first referring to the one before.
  auto chain = [](int count, const std::string& subset, const std::string& body) {
    std::string document = "<!DOCTYPE a [<!ENTITY e0 'x'>";
    for (int i = 1; i < count; ++i) {
      document += "<!ENTITY e" + std::to_string(i) + " '&e" + std::to_string(i - 1) + ";'>";
    }
    return document + subset + "]>" + body;
  };
  const int limit = static_cast<int>(CVekXMLReader::kMaxEntityDeclarations);
  const std::string top = "&e" + std::to_string(limit - 1) + ";";
  EXPECT_EQ(TreeOf(chain(limit, "", "<a v='" + top + "'>" + top + "</a>")), "a{#TEXT=x}");
  for (const int count : {limit + 1, 50'000}) {
    const std::string last = "&e" + std::to_string(count - 1) + ";";
    EXPECT_EQ(LoadDocument(chain(count, "", "<a>" + last + "</a>")),
              CVekXMLReader::LOAD_PARSE_FAILED);
    EXPECT_EQ(LoadDocument(chain(count, "", "<a v='" + last + "'/>")),
              CVekXMLReader::LOAD_PARSE_FAILED);
    // A default value is expanded while the declarations are still read.
    EXPECT_EQ(LoadDocument(chain(count, "<!ATTLIST a v CDATA '" + last + "'>", "<a/>")),
              CVekXMLReader::LOAD_PARSE_FAILED);
  }
}

TEST_F(XmlReaderTest, EncodingComesFromByteOrderMarkOrDeclaration) {
  std::string utf16 = "\xFF\xFE";
  for (const char c : std::string("<a>\xE9t\xE9</a>")) utf16 += {c, '\0'};
  EXPECT_EQ(TreeOf(utf16), "a{#TEXT=\xC3\xA9t\xC3\xA9}");
  EXPECT_EQ(TreeOf("<?xml version='1.0' encoding='ISO-8859-1'?><a>\xE9t\xE9</a>"),
            "a{#TEXT=\xC3\xA9t\xC3\xA9}");
  EXPECT_EQ(TreeOf("<a>\xE6\x97\xA5\xF0\x9F\x98\x80</a>"), "a{#TEXT=\xE6\x97\xA5\xF0\x9F\x98\x80}");
  EXPECT_EQ(LoadDocument("<?xml version='1.0' encoding='EUC-JP'?><a/>"),
            CVekXMLReader::LOAD_PARSE_FAILED);
  EXPECT_EQ(LoadDocument("<a>\xE9</a>"), CVekXMLReader::LOAD_PARSE_FAILED);  // not UTF-8
}

TEST_F(XmlReaderTest, ReadsShiftJisDocumentsDeclaredInAnyCase) {
  for (const char* name : {"SHIFT_JIS", "Shift_JIS", "shift_jis", "sHiFt_jIs"}) {
    // Kanji "nihon" and a kanji of the last lead byte of the first range
    // (0x9F) in two-byte form, half-width katakana in one byte each up to
    // the last (0xDF), and 0x5C and 0x7F, which stand for themselves.
    EXPECT_EQ(TreeOf(std::string("<?xml version='1.0' encoding='") + name +
                     "'?><a n='\xB1'>\x93\xFA\x96\x7B\x9F\x40\xB1\xB2\xDF\x5C\x7F</a>"),
              "a{#TEXT=\xE6\x97\xA5\xE6\x9C\xAC\xE6\xAA\x97\xEF\xBD\xB1\xEF\xBD\xB2"
              "\xEF\xBE\x9F\\\x7F}")
        << name;
    EXPECT_EQ(Utf8(reader_.FindChild(nullptr, u"a")->GetAttribute(u"n")), "\xEF\xBD\xB1");
  }
  const std::string declaration = "<?xml version='1.0' encoding='Shift_JIS'?>";
  for (const char* bad : {"\x81\x20", "\xFF", "\x80\x40", "\x01", "\x93"}) {
    EXPECT_EQ(LoadDocument(declaration + "<a>" + bad + "</a>"), CVekXMLReader::LOAD_PARSE_FAILED)
        << static_cast<int>(static_cast<unsigned char>(bad[0]));
  }
  for (const char* other : {"SHIFT_JI", "SHIFT_JIS2", "SJIS", "Windows-31J"}) {
    EXPECT_EQ(LoadDocument(std::string("<?xml version='1.0' encoding='") + other + "'?><a/>"),
              CVekXMLReader::LOAD_PARSE_FAILED)
        << other;
  }
}

TEST_F(XmlReaderTest, RejectsDocumentsThatAreNotWellFormed) {
  for (const char* document : {"", " \n\t", "<a>", "<a></b>", "<a/>text", "<a/><b/>", "text",
                               "<a>&undefined;</a>", "<a x='1' x='2'/>", "<a>&#0;</a>"}) {
    EXPECT_EQ(LoadDocument(document), CVekXMLReader::LOAD_PARSE_FAILED) << document;
    EXPECT_FALSE(reader_.IsLoaded());
  }
}

TEST_F(XmlReaderTest, FailedLoadKeepsItsPartialTreeButFindsNothing) {
  ASSERT_EQ(LoadDocument("<pkg><name/>"), CVekXMLReader::LOAD_PARSE_FAILED);
  CVekXMLNode* partial = reader_.GetRoot()->GetFirstChild();
  ASSERT_NE(partial, nullptr);
  EXPECT_EQ(Describe(partial), "pkg{name}");
  EXPECT_EQ(reader_.FindChild(nullptr, u"pkg"), nullptr);
  EXPECT_EQ(reader_.FindChild(partial, u"name"), nullptr);
}

TEST_F(XmlReaderTest, OpenFailures) {
  testsupport::WriteFile(dir_ / "doc.xml", "<a/>");
  const std::u16string good = PathOf(dir_ / "doc.xml");
  ASSERT_EQ(reader_.Load(good), CVekXMLReader::LOAD_OK);

  EXPECT_EQ(reader_.Load(PathOf(dir_ / "missing.xml")), CVekXMLReader::LOAD_OPEN_FAILED);
  EXPECT_FALSE(reader_.IsLoaded());
  EXPECT_EQ(reader_.Load(PathOf(dir_.path())), CVekXMLReader::LOAD_OPEN_FAILED);
  EXPECT_EQ(reader_.Load(u""), CVekXMLReader::LOAD_OPEN_FAILED);
  // Paths that name no file are the input's fault, not the host's.
  EXPECT_EQ(reader_.GetHostFault(), platform::HostFault::kNone);

  // A path that cannot be named must not open a file whose name it resembles.
  testsupport::WriteFile(dir_.path() / u"doc\uFFFD.xml", "<a/>");
  EXPECT_EQ(reader_.Load(PathOf(dir_ / "doc") + u"\xD800.xml"), CVekXMLReader::LOAD_OPEN_FAILED);
  EXPECT_EQ(reader_.Load(good + std::u16string(1, u'\0') + u"x"), CVekXMLReader::LOAD_OPEN_FAILED);
}

TEST_F(XmlReaderTest, EachLoadReplacesTheTree) {
  EXPECT_EQ(TreeOf("<first><x/></first>"), "first{x}");
  EXPECT_EQ(TreeOf("<second/>"), "second");
  EXPECT_EQ(Describe(reader_.GetRoot()), "#DOCROOT{second}");
  EXPECT_EQ(reader_.GetRoot()->GetType(), CVekXMLNode::NODE_ELEMENT);
  EXPECT_EQ(reader_.FindChild(nullptr, u"first"), nullptr);

  reader_.Release();
  EXPECT_EQ(reader_.GetRoot(), nullptr);
  EXPECT_FALSE(reader_.IsLoaded());
  EXPECT_EQ(reader_.FindChild(nullptr, u"second"), nullptr);
  reader_.Reset();
  EXPECT_EQ(Describe(reader_.GetRoot()), "#DOCROOT");
  EXPECT_EQ(TreeOf("<third/>"), "third");
}

TEST_F(XmlReaderTest, FindChildLooksAtDirectChildrenByExactName) {
  TreeOf(
      "<vek_package><name><name_xlate lang='en'>A</name_xlate></name>"
      "<Name/><category>t<c/></category></vek_package>");
  EXPECT_EQ(reader_.FindChild(nullptr, u"name"), nullptr);  // the document element only
  CVekXMLNode* package = reader_.FindChild(nullptr, u"vek_package");
  ASSERT_NE(package, nullptr);
  EXPECT_EQ(reader_.FindChild(nullptr, u"vek_package"), package);
  EXPECT_EQ(reader_.FindChild(package, u"name_xlate"), nullptr);  // a grandchild
  EXPECT_EQ(reader_.FindChild(package, u"NAME"), nullptr);
  CVekXMLNode* lower = reader_.FindChild(package, u"name");
  CVekXMLNode* upper = reader_.FindChild(package, u"Name");
  ASSERT_NE(lower, nullptr);
  ASSERT_NE(upper, nullptr);
  EXPECT_NE(lower, upper);
  EXPECT_EQ(Utf8(reader_.FindChild(reader_.FindChild(package, u"category"), u"#TEXT")->GetText()),
            "t");
  EXPECT_EQ(reader_.FindChild(package, nullptr), nullptr);
  EXPECT_EQ(reader_.FindChild(package, u""), nullptr);
}

TEST_F(XmlReaderTest, FindChildMatchesAttributeValuesWithoutCase) {
  TreeOf(
      "<name><name_xlate lang='de'>D</name_xlate><name_xlate lang='en'>E1</name_xlate>"
      "<name_xlate>N</name_xlate><name_xlate lang='en'>E2</name_xlate>"
      "<name_xlate lang='EN-us'>U</name_xlate></name>");
  CVekXMLNode* name = reader_.FindChild(nullptr, u"name");
  auto text = [&](const char16_t* attr, const char16_t* value) {
    const CVekXMLNode* found = reader_.FindChild(name, u"name_xlate", attr, value);
    return found ? Utf8(found->GetFirstChild()->GetText()) : "<none>";
  };
  EXPECT_EQ(text(u"lang", u"en"), "E2");  // the later of two matches
  EXPECT_EQ(text(u"lang", u"EN"), "E2");
  EXPECT_EQ(text(u"lang", u"En-US"), "U");
  EXPECT_EQ(text(u"lang", u"DE"), "D");
  EXPECT_EQ(text(u"Lang", u"en"), "<none>");
  EXPECT_EQ(text(u"lang", u"e"), "<none>");
  EXPECT_EQ(text(u"lang", nullptr), "U");  // by name alone
  EXPECT_EQ(text(nullptr, u"de"), "U");
}

TEST(CompareNoCaseTest, ComparesLikeAStringComparisonAfterUpperCasing) {
  EXPECT_EQ(CompareNoCase(u"en", u"EN"), 0);
  EXPECT_EQ(CompareNoCase(u"Firmware", u"fIRMWARE"), 0);
  EXPECT_EQ(CompareNoCase(u"", u""), 0);
  EXPECT_LT(CompareNoCase(u"a", u"B"), 0);
  EXPECT_GT(CompareNoCase(u"b", u"A"), 0);
  EXPECT_LT(CompareNoCase(u"en", u"en-us"), 0);
  EXPECT_GT(CompareNoCase(u"en-us", u"EN"), 0);
  EXPECT_GT(CompareNoCase(u"\xFFFF", u"a"), 0);  // code units compare unsigned
  EXPECT_LT(CompareNoCase(nullptr, u""), 0);
  EXPECT_EQ(CompareNoCase(nullptr, nullptr), 0);
}

// A million levels of nesting and a million siblings load, can be walked
// and are released without exhausting the stack.
TEST_F(XmlReaderTest, LoadsVeryDeepAndVeryWideDocuments) {
  constexpr int kCount = 1'000'000;
  std::string deep;
  deep.reserve(8 * kCount);
  for (int i = 0; i < kCount; ++i) deep += "<d>";
  deep += "bottom";
  for (int i = 0; i < kCount; ++i) deep += "</d>";
  ASSERT_EQ(LoadDocument(deep), CVekXMLReader::LOAD_OK);
  ASSERT_TRUE(reader_.IsLoaded());
  const CVekXMLNode* node = reader_.GetRoot();
  for (int i = 0; i < kCount; ++i) {
    node = node->GetFirstChild();
    ASSERT_NE(node, nullptr);
    ASSERT_EQ(node->GetNextSibling(), nullptr);
  }
  EXPECT_EQ(Utf8(node->GetFirstChild()->GetText()), "bottom");

  std::string wide = "<w>";
  wide.reserve(5 * kCount + 10);
  for (int i = 0; i < kCount; ++i) wide += "<a/>";
  wide += "</w>";
  ASSERT_EQ(LoadDocument(wide), CVekXMLReader::LOAD_OK);
  int count = 0;
  for (const CVekXMLNode* c = reader_.FindChild(nullptr, u"w")->GetFirstChild(); c;
       c = c->GetNextSibling()) {
    ++count;
  }
  EXPECT_EQ(count, kCount);
  reader_.Release();
}

}  // namespace
}  // namespace packprobe
