#include "driver/options.h"

#include <gtest/gtest.h>

#include <vector>

namespace packprobe {
namespace {

// Parses the arguments after a program name, with the Windows rules unless
// slashPaths is set.
bool Parse(std::vector<std::u16string> arguments, CheckOptions& options,
           bool slashPaths = false) {
  arguments.insert(arguments.begin(), u"packprobe");
  return ParseCommandLine(arguments, options, slashPaths);
}

TEST(OptionsTest, DefaultsWhenOnlyAComponentIsNamed) {
  CheckOptions o;
  ASSERT_TRUE(Parse({u"kit.exe"}, o));
  EXPECT_EQ(o.componentName, u"kit.exe");
  EXPECT_EQ(o.stubMin, 0);
  EXPECT_EQ(o.stubMax, 9999);
  EXPECT_EQ(o.setupMin, 0);
  EXPECT_EQ(o.setupMax, 9999);
  EXPECT_TRUE(o.verbose);
  EXPECT_FALSE(o.noLogo || o.help || o.firmwareOnly || o.softwareOnly);
}

TEST(OptionsTest, ValueOptionsTakeTheTextAfterTheFirstColon) {
  CheckOptions o;
  ASSERT_TRUE(Parse({u"kit.exe", u"/stubmin:3.0.0.0", u"/stubmax:3.0.3.0", u"/setupmin:1",
                     u"/setupmax:abc"},
                    o));
  EXPECT_EQ(o.stubMin, 3000);
  EXPECT_EQ(o.stubMax, 3030);
  EXPECT_EQ(o.setupMin, 1);
  EXPECT_EQ(o.setupMax, 0);  // no leading digits reads as 0

  // The option's name may stand anywhere; the value follows the first colon.
  ASSERT_TRUE(Parse({u"kit.exe", u"x/stubminXY:7"}, o));
  EXPECT_EQ(o.stubMin, 7);
  ASSERT_TRUE(Parse({u"kit.exe", u"/stubmin/x:1"}, o));
  EXPECT_EQ(o.stubMin, 1);
}

TEST(OptionsTest, InvalidValues) {
  CheckOptions o;
  for (std::u16string_view bad :
       {u"/stubmin", u"/stubmin:", u"/stubmax:..", u"/setupmin:-3", u"/setupmax:12345678",
        u"/componentlist", u"/componentlist:"}) {
    EXPECT_FALSE(Parse({u"kit.exe", std::u16string(bad)}, o)) << std::string(bad.begin(), bad.end());
  }
  EXPECT_TRUE(Parse({u"kit.exe", u"/setupmax:1.2.3.4.5.6.7"}, o));
  EXPECT_TRUE(Parse({u"kit.exe", u"/stubmin:-0"}, o));
}

TEST(OptionsTest, TheFirstFaultEndsTheParse) {
  CheckOptions o;
  EXPECT_FALSE(Parse({u"/stubmin", u"/?"}, o));
  EXPECT_FALSE(o.help);
  EXPECT_FALSE(Parse({u"/?", u"/stubmin"}, o));
}

TEST(OptionsTest, FlagsMustMatchTheWholeArgumentWithASlash) {
  CheckOptions o;
  ASSERT_TRUE(Parse({u"kit.exe", u"/nologo", u"/fwonly", u"/verbose"}, o));
  EXPECT_TRUE(o.noLogo && o.firmwareOnly && o.verbose);

  ASSERT_TRUE(Parse({u"kit.exe", u"-nologo", u"/NOLOGO", u"/nologo:1", u"/FWONLY", u"-stubmin:5",
                     u"/STUBMIN:5", u"/unknown"},
                    o));
  EXPECT_FALSE(o.noLogo || o.firmwareOnly);
  EXPECT_EQ(o.stubMin, 0);
  EXPECT_EQ(o.componentName, u"kit.exe");
}

TEST(OptionsTest, BothTypeFiltersCancelEachOther) {
  CheckOptions o;
  ASSERT_TRUE(Parse({u"kit.exe", u"/fwonly", u"/swonly"}, o));
  EXPECT_FALSE(o.firmwareOnly);
  EXPECT_FALSE(o.softwareOnly);
}

TEST(OptionsTest, ComponentNameRules) {
  CheckOptions o;
  ASSERT_TRUE(Parse({u"a.exe", u"b.exe"}, o));
  EXPECT_EQ(o.componentName, u"b.exe");

  // An empty argument empties the name.
  EXPECT_FALSE(Parse({u"a.exe", u""}, o));
  ASSERT_TRUE(Parse({u"a.exe", u"", u"/componentlist:x"}, o));
  EXPECT_EQ(o.componentName, u"");
  EXPECT_EQ(o.componentList, u"x");
  ASSERT_TRUE(Parse({u"a.exe", u"", u"/help"}, o));

  // A name is also an option when it holds an option's name and a colon.
  ASSERT_TRUE(Parse({u"kit/stubmin:5"}, o));
  EXPECT_EQ(o.componentName, u"kit/stubmin:5");
  EXPECT_EQ(o.stubMin, 5);

  // A named component empties the component list.
  ASSERT_TRUE(Parse({u"/componentlist:list.txt", u"kit.exe"}, o));
  EXPECT_EQ(o.componentList, u"");
}

TEST(OptionsTest, ValidityNeedsANameAListOrHelp) {
  CheckOptions o;
  EXPECT_FALSE(Parse({}, o));
  EXPECT_FALSE(Parse({u"/nologo"}, o));
  EXPECT_TRUE(Parse({u"/help"}, o));
  EXPECT_TRUE(Parse({u"/componentlist:a:b"}, o));
  EXPECT_EQ(o.componentList, u"a:b");
}

TEST(OptionsTest, LongNamesAreKeptWhole) {
  CheckOptions o;
  const std::u16string name(5000, u'k');
  ASSERT_TRUE(Parse({name}, o));
  EXPECT_EQ(o.componentName, name);
}

TEST(OptionsTest, SlashPathsAreComponentNamesOnlyUnderPosixRules) {
  CheckOptions o;
  EXPECT_FALSE(Parse({u"/srv/drop/kit.exe"}, o, false));

  ASSERT_TRUE(Parse({u"/srv/drop/kit.exe", u"/nologo"}, o, true));
  EXPECT_EQ(o.componentName, u"/srv/drop/kit.exe");
  EXPECT_TRUE(o.noLogo);

  ASSERT_TRUE(Parse({u"/a/one.exe", u"/b/two.exe"}, o, true));
  EXPECT_EQ(o.componentName, u"/b/two.exe");

  // Without a further slash, or holding an option's name, it stays an option.
  EXPECT_FALSE(Parse({u"/kit.exe"}, o, true));
  EXPECT_FALSE(Parse({u"/srv/stubmin/kit.exe"}, o, true));
  ASSERT_TRUE(Parse({u"kit.exe", u"/srv/x/stubmin:3"}, o, true));
  EXPECT_EQ(o.componentName, u"kit.exe");
  EXPECT_EQ(o.stubMin, 3);
}

}  // namespace
}  // namespace packprobe
