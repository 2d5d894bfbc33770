#include "updates/Appcast.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace orvo {
namespace {

constexpr const char* kFeed = R"(<?xml version="1.0" encoding="utf-8"?>
<rss version="2.0" xmlns:sparkle="http://www.andymatuschak.org/xml-namespaces/sparkle">
  <channel>
    <title>Orvo Host</title>
    <item>
      <title> Orvo Host 1.2 </title>
      <description><![CDATA[<ul><li>Sharper text</li></ul>]]></description>
      <sparkle:version>1.2.0</sparkle:version>
      <sparkle:shortVersionString>1.2</sparkle:shortVersionString>
      <enclosure url="https://example.invalid/orvo-host_1.2.0_amd64.deb" length="4096"
                 type="application/vnd.debian.binary-package" sparkle:edSignature="c2ln"/>
    </item>
    <item>
      <description>Plain <b>markup</b> &amp; entities</description>
      <enclosure url="https://example.invalid/b.deb" sparkle:version="1.3" length="many"/>
    </item>
    <item>
      <title>No version: not installable</title>
      <enclosure url="https://example.invalid/c.deb"/>
    </item>
    <item>
      <title>No enclosure: not installable</title>
      <sparkle:version>9.0</sparkle:version>
    </item>
  </channel>
</rss>)";

TEST(Appcast, ReadsInstallableItemsWithTheirTextsAndEnclosures) {
  std::string error;
  const auto appcast = Appcast::parse(kFeed, error);
  ASSERT_TRUE(appcast) << error;
  ASSERT_EQ(appcast->items.size(), 2u);
  const auto& first = appcast->items[0];
  EXPECT_EQ(first.versionString, "1.2.0");
  EXPECT_EQ(first.displayVersionString, "1.2");
  EXPECT_EQ(first.title, "Orvo Host 1.2");
  EXPECT_EQ(first.itemDescription, "<ul><li>Sharper text</li></ul>");
  EXPECT_EQ(first.enclosure, (AppcastEnclosure{.url = "https://example.invalid/orvo-host_1.2.0_amd64.deb",
                                               .length = 4096,
                                               .type = "application/vnd.debian.binary-package",
                                               .edSignature = "c2ln"}));
  const auto& second = appcast->items[1];
  EXPECT_EQ(second.versionString, "1.3") << "the version may sit on the enclosure";
  EXPECT_EQ(second.displayVersionString, "1.3") << "shown as the machine version when no other is given";
  EXPECT_FALSE(second.title);
  EXPECT_EQ(second.itemDescription, "Plain markup & entities");
  EXPECT_FALSE(second.enclosure->length) << "a length that is not a number is not announced";

  EXPECT_EQ(appcast->bestUpdate("1.0")->versionString, "1.3");
  EXPECT_EQ(appcast->bestUpdate("1.2.5")->versionString, "1.3");
  EXPECT_FALSE(appcast->bestUpdate("1.3.0"));
}

TEST(Appcast, MalformedFeedsAreErrors) {
  const char* feeds[] = {"", "not xml", "<rss><channel><item>", "<feed><entry/></feed>", "<rss version=\"2.0\"/>",
                         "<rss><channel><item><title>a</item></channel></rss>"};
  for (const char* feed : feeds) {
    std::string error;
    EXPECT_FALSE(Appcast::parse(feed, error)) << feed;
    EXPECT_FALSE(error.empty()) << feed;
  }
  std::string error;
  const auto empty = Appcast::parse("<rss><channel><title>t</title></channel></rss>", error);
  ASSERT_TRUE(empty);
  EXPECT_TRUE(empty->items.empty());
  EXPECT_FALSE(empty->bestUpdate("0"));
}

TEST(Appcast, TextNestedDeeperThanTheStackHoldsIsRead) {
  // A feed up to the download limit can nest a million elements; reading the title text
  // must not recurse once per level.
  constexpr int kDepth = 500000;
  std::string title;
  for (int i = 0; i < kDepth; ++i) title += "<b>";
  title += "deep";
  for (int i = 0; i < kDepth; ++i) title += "</b>";
  const std::string feed = "<rss><channel><item><title>a " + title + " z</title><sparkle:version>2</sparkle:version>"
                           "<enclosure url=\"https://example.invalid/d.deb\"/></item></channel></rss>";
  std::string error;
  const auto appcast = Appcast::parse(feed, error);
  ASSERT_TRUE(appcast) << error;
  ASSERT_EQ(appcast->items.size(), 1u);
  EXPECT_EQ(appcast->items[0].title, "a deep z");
}

}  // namespace
}  // namespace orvo
