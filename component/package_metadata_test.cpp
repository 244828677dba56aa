// The metadata queries on real documents: which text becomes the display
// name and which categories count as firmware.
#include <gtest/gtest.h>

#include <string>

#include "component/component_info.h"
#include "tests/support/scratch_dir.h"

namespace packprobe {
namespace {

using testsupport::ScratchDir;

class PackageMetadataTest : public ::testing::Test {
 protected:
  // A record that inspected nothing, whose queries can be run on any file.
  PackageMetadataTest() : info_(nullptr) {}

  std::u16string Write(const std::string& xml) {
    testsupport::WriteFile(dir_ / "meta.xml", xml);
    const std::string path = (dir_ / "meta.xml").string();
    return std::u16string(path.begin(), path.end());
  }

  std::u16string DisplayName(const std::string& nameChildren) {
    info_.displayName.clear();
    info_.ReadDisplayName(Write("<vek_package><name>" + nameChildren + "</name></vek_package>"));
    return info_.displayName;
  }

  bool Firmware(const std::string& englishCategory) {
    return info_.IsFirmwareCategory(Write(
        "<vek_package><category><category_xlate lang=\"en\">" + englishCategory +
        "</category_xlate></category></vek_package>"));
  }

  ScratchDir dir_;
  ComponentInfo info_;
};

TEST_F(PackageMetadataTest, EnglishNameIsFoundAmongTranslations) {
  EXPECT_EQ(DisplayName("<name_xlate lang=\"fr\">Kit</name_xlate>"
                        "<name_xlate lang=\"en\">Demo Kit</name_xlate>"
                        "<name_xlate lang=\"de\">Paket</name_xlate>"),
            u"Demo Kit");
  // The later English entry wins.
  EXPECT_EQ(DisplayName("<name_xlate lang=\"en\">First</name_xlate>"
                        "<name_xlate lang=\"en\">Second</name_xlate>"),
            u"Second");
  // "en" is compared exactly.
  EXPECT_EQ(DisplayName("<name_xlate lang=\"EN\">A</name_xlate>"
                        "<name_xlate lang=\"en-US\">B</name_xlate>"
                        "<name_xlate Lang=\"en\">C</name_xlate>"),
            u"");
}

TEST_F(PackageMetadataTest, WalkStartsAtTheLastTranslationAndGoesBackwards) {
  // Elements before the last name_xlate are examined whatever their name;
  // those after it never are.
  EXPECT_EQ(DisplayName("<name_xlate lang=\"en\">English</name_xlate>"
                        "<other lang=\"en\">Middle</other>"
                        "<name_xlate lang=\"de\">Deutsch</name_xlate>"
                        "<after lang=\"en\">After</after>"),
            u"Middle");
  // An entry whose text starts with white space has no text node first,
  // nor does one that ends with an element (its first child, latest first).
  EXPECT_EQ(DisplayName("<name_xlate lang=\"en\">Kept</name_xlate>"
                        "<name_xlate lang=\"en\"> Dropped</name_xlate>"
                        "<name_xlate lang=\"en\">Dropped<b/></name_xlate>"),
            u"Kept");
}

TEST_F(PackageMetadataTest, MissingNameIsNoError) {
  info_.status = 0;
  EXPECT_FALSE(info_.ReadDisplayName(Write("<vek_package><category/></vek_package>")));
  EXPECT_EQ(info_.displayName, u"");
  EXPECT_EQ(info_.status, 0);
}

TEST_F(PackageMetadataTest, UnreadableMetadataIsASystemError) {
  for (const std::string xml : {"", "<vek_package>", "<other/>", "<a/><b/>"}) {
    info_.status = 0;
    info_.message.clear();
    EXPECT_FALSE(info_.ReadDisplayName(Write(xml))) << xml;
    EXPECT_EQ(info_.status, ComponentInfo::kStatusSystemError) << xml;
    EXPECT_EQ(info_.message, u"A system error occurred during processing.");
    info_.status = 0;
    EXPECT_FALSE(info_.IsFirmwareCategory(Write(xml))) << xml;
    EXPECT_EQ(info_.status, ComponentInfo::kStatusSystemError) << xml;
  }
  info_.status = 0;
  EXPECT_FALSE(info_.ReadDisplayName(u"/nonexistent/meta.xml"));
  EXPECT_EQ(info_.status, ComponentInfo::kStatusSystemError);
}

TEST_F(PackageMetadataTest, FirstWordOfTheCategoryDecidesFirmware) {
  for (const std::string category :
       {"Firmware - Storage", "Firmware-Network", "BIOS - System", "<![CDATA[ - BIOS]]>",
        "--Firmware", "BIOS", "Firmware"}) {
    EXPECT_TRUE(Firmware(category)) << category;
  }
  for (const std::string category :
       {"firmware - Storage", "Software - Firmware", "Firmware:Network", "BIOS\tUpdate",
        "FirmwareX", "", "<![CDATA[]]>", "<![CDATA[ - ]]>", "Software"}) {
    EXPECT_FALSE(Firmware(category)) << category;
  }
  // No English category at all is not firmware.
  EXPECT_FALSE(info_.IsFirmwareCategory(Write("<vek_package/>")));
  EXPECT_FALSE(info_.IsFirmwareCategory(Write(
      "<vek_package><category><category_xlate lang=\"de\">Firmware</category_xlate>"
      "</category></vek_package>")));
}

}  // namespace
}  // namespace packprobe
