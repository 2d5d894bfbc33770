#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/linux/avahi/AvahiHandles.h"
#include "support/AvahiFixture.h"

namespace orvo::platform::avahi {
namespace {

std::string wire(const TXTRecord& record) {
  StringListHandle list = makeStringList(record);
  std::vector<std::uint8_t> bytes(avahi_string_list_serialize(list.get(), nullptr, 0));
  bytes.resize(avahi_string_list_serialize(list.get(), bytes.data(), bytes.size()));
  return std::string(bytes.begin(), bytes.end());
}

// DNS-SD TXT coding: one length-prefixed "key=value" string per entry, in record order.
TEST(AvahiHandlesTest, StringListCodesTheRecordInOrder) {
  EXPECT_EQ(wire({{"hostId", "H"}, {"pairMode", "pin"}, {"pairPort", "50123"}}),
            std::string("\x08hostId=H\x0cpairMode=pin\x0epairPort=50123"));
  EXPECT_EQ(wire({{"z", ""}, {"a", "x=y"}}), std::string("\x02z=\x05"
                                                         "a=x=y"));
  // An empty record is one empty string on the wire, as DNS-SD asks.
  EXPECT_EQ(wire({}), std::string(1, '\0'));
}

TEST(AvahiHandlesTest, ResolvedStringsBecomeKeyValuePairs) {
  struct Case {
    std::string text;
    TXTRecord expected;
  };
  const std::vector<Case> cases = {
      {"pinSalt=q83vEjRWeJA=", {{"pinSalt", "q83vEjRWeJA="}}},
      {"flag", {{"flag", ""}}},
      {"empty=", {{"empty", ""}}},
      {"", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    StringListHandle list(
        avahi_string_list_add_arbitrary(nullptr, reinterpret_cast<const std::uint8_t*>(c.text.data()), c.text.size()));
    EXPECT_EQ(recordFromStringList(list.get()), c.expected);
  }
}

TEST(AvahiHandlesTest, NamesTranslateBetweenDnsSdAndAvahiForms) {
  EXPECT_EQ(avahiServiceType("_orvo._tcp."), "_orvo._tcp");
  EXPECT_EQ(avahiServiceType("_orvopair._tcp"), "_orvopair._tcp");
  EXPECT_EQ(avahiDomain("local."), std::nullopt);
  EXPECT_EQ(avahiDomain("local"), std::nullopt);
  EXPECT_EQ(avahiDomain(""), std::nullopt);
  EXPECT_EQ(avahiDomain("example.org."), "example.org");
  EXPECT_EQ(withTrailingDot("_orvo._tcp"), "_orvo._tcp.");
  EXPECT_EQ(withTrailingDot("local."), "local.");
}

// The test fixture reads avahi-browse's parsable output; a line captured from it.
TEST(AvahiBrowseOutputTest, ResolvedLinesAreUnescapedAndInRecordOrder) {
  const std::string output =
      "+;lo;IPv4;Caf\\195\\169\\059\\032a\\\\b\\.c\\032\\034q\\034;_orvo._tcp;local\n"
      "=;lo;IPv4;Caf\\195\\169\\059\\032a\\\\b\\.c\\032\\034q\\034;_orvo._tcp;local;vm.local;127.0.0.1;1234;"
      "\"e=\" \"flag\" \"k=\\195\\169 \\\"x\\\" \\\\y\"\n"
      "=;lo;IPv4;short;line\n"
      "Failed to resolve service 'x': Timeout reached\n";
  auto services = orvo::testing::parseAvahiBrowse(output);
  ASSERT_EQ(services.size(), 1u);
  const auto& s = services.front();
  EXPECT_EQ(s.interface, "lo");
  EXPECT_EQ(s.protocol, "IPv4");
  EXPECT_EQ(s.name, "Caf\xc3\xa9; a\\b.c \"q\"");
  EXPECT_EQ(s.type, "_orvo._tcp");
  EXPECT_EQ(s.domain, "local");
  EXPECT_EQ(s.hostName, "vm.local");
  EXPECT_EQ(s.address, "127.0.0.1");
  EXPECT_EQ(s.port, 1234);
  const TXTRecord expected = {{"k", "\xc3\xa9 \"x\" \\y"}, {"flag", ""}, {"e", ""}};
  EXPECT_EQ(s.txt, expected);
}

}  // namespace
}  // namespace orvo::platform::avahi
