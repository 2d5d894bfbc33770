#include <gtest/gtest.h>

#include "host/AdmissionPolicy.h"

namespace orvo::testing {
namespace {

TEST(AddressKey, IPv4WithoutPortAndIPv6ByItsSlash64) {
  struct Case {
    const char* endpoint;
    const char* key;
  };
  for (const auto& c : {
           Case{"192.0.2.7:50000", "192.0.2.7"},
           Case{"127.0.0.2:1", "127.0.0.2"},
           Case{"[2001:db8:1:2:aaaa:bbbb:cccc:dddd]:443", "2001:db8:1:2::/64"},
           Case{"[2001:db8:1:2::1]:9", "2001:db8:1:2::/64"},  // same /64, same key
           Case{"[::1]:80", "::/64"},
           Case{"[not-an-address]:80", "not-an-address"},
           Case{"unknown", "unknown"},
       }) {
    EXPECT_EQ(addressKeyOf(c.endpoint), c.key) << c.endpoint;
  }
}

TEST(DecideAdmission, PerAddressShareThenEvictionOfTheOldestForANewAddress) {
  using Kind = SlotDecision::Kind;
  auto holders = [](std::initializer_list<std::pair<std::uint64_t, const char*>> list, bool evictable = true) {
    std::vector<SlotHolder> out;
    for (const auto& [serial, address] : list) out.push_back({serial, address, evictable});
    return out;
  };
  struct Case {
    const char* name;
    std::vector<SlotHolder> holders;
    const char* address;
    Kind kind;
    std::optional<std::uint64_t> evict;
  };
  const std::vector<Case> cases = {
      {"empty", {}, "a", Kind::admit, std::nullopt},
      {"one of two per address", holders({{1, "a"}}), "a", Kind::admit, std::nullopt},
      {"address full although slots are free", holders({{1, "a"}, {2, "a"}}), "a", Kind::refuseAddressFull,
       std::nullopt},
      {"full, new address evicts the oldest", holders({{5, "b"}, {3, "c"}, {4, "a"}}), "d", Kind::admit, 3},
      {"full, an address with one in progress is refused", holders({{5, "b"}, {3, "c"}, {4, "d"}}), "d",
       Kind::refuseFull, std::nullopt},
      {"full of authenticated ones: nobody goes", holders({{1, "a"}, {2, "b"}, {3, "c"}}, false), "d",
       Kind::refuseFull, std::nullopt},
      {"authenticated ones do not count against their address", holders({{1, "a"}, {2, "a"}}, false), "a",
       Kind::admit, std::nullopt},
  };
  for (const auto& c : cases) {
    const auto decision = decideAdmission(c.holders, c.address, /*capacity=*/3, /*perAddress=*/2);
    EXPECT_EQ(decision.kind, c.kind) << c.name;
    EXPECT_EQ(decision.evict, c.evict) << c.name;
  }
  // Only strangers are pushed out: the oldest evictable one, not the oldest of all.
  auto mixed = holders({{1, "a"}}, false);
  mixed.push_back({2, "b", true});
  mixed.push_back({3, "c", true});
  EXPECT_EQ(decideAdmission(mixed, "d", 3, 2).evict, 2u);
}

}  // namespace
}  // namespace orvo::testing
