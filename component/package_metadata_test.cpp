// The metadata queries on real documents: which text becomes the display
// name and which categories count as firmware.
#include <gtest/gtest.h>

#include <string>

#include "component/package_metadata.h"

namespace packprobe {
namespace {

class PackageMetadataTest : public ::testing::Test {
 protected:
  std::u16string DisplayName(const std::string& nameChildren) {
    Load("<vek_package><name>" + nameChildren + "</name></vek_package>");
    return FindEnglishText(reader_, u"name", u"name_xlate").value_or(u"");
  }

  bool Firmware(const std::string& englishCategory) {
    Load("<vek_package><category><category_xlate lang=\"en\">" + englishCategory +
         "</category_xlate></category></vek_package>");
    const auto category = FindEnglishText(reader_, u"category", u"category_xlate");
    return category && IsFirmwareCategoryText(*category);
  }

  void Load(const std::string& xml) { reader_.LoadFromMemory(xml); }

  CVekXMLReader reader_;
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

TEST_F(PackageMetadataTest, OnlyALoadedPackageDocumentCanBeRead) {
  Load("<vek_package><category/></vek_package>");
  EXPECT_TRUE(HasPackageElement(reader_));
  EXPECT_EQ(FindEnglishText(reader_, u"name", u"name_xlate"), std::nullopt);
  for (const std::string xml : {"", "<vek_package>", "<other/>", "<a/><b/>"}) {
    Load(xml);
    EXPECT_FALSE(HasPackageElement(reader_)) << xml;
    EXPECT_EQ(FindEnglishText(reader_, u"name", u"name_xlate"), std::nullopt) << xml;
  }
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
  Load("<vek_package><category><category_xlate lang=\"de\">Firmware</category_xlate>"
       "</category></vek_package>");
  EXPECT_EQ(FindEnglishText(reader_, u"category", u"category_xlate"), std::nullopt);
}

}  // namespace
}  // namespace packprobe
