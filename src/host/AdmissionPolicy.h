#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orvo {

// Who may take a slot of a listener's unauthenticated connections, so that strangers
// cannot hold them all: every address gets a few, and a newcomer from an address with
// none may push the oldest one out when every slot is taken. Pure logic, any thread.

// The address a connection counts against: the IPv4 address, or the /64 of an IPv6
// address (one host on a LAN can use any address of its /64), from an endpoint text as
// the network describes it ("192.0.2.7:50000", "[2001:db8::1]:50000"; IPv4-mapped
// addresses are shown as IPv4 already). Anything else counts as itself without its port.
std::string addressKeyOf(std::string_view endpoint);

// A connection that holds a slot.
struct SlotHolder {
  std::uint64_t serial = 0;  // smaller is older
  std::string address;       // its addressKeyOf
  bool evictable = true;     // false once it has authenticated (a pairing being answered)
};

struct SlotDecision {
  enum class Kind {
    admit,             // take a free slot, or the one of `evict`
    refuseAddressFull,  // this address holds its share already
    refuseFull,        // every slot taken and this address holds one, or none can go
  };
  Kind kind = Kind::admit;
  std::optional<std::uint64_t> evict;  // with admit: the serial of the holder to close first
};

// `perAddress` counts only evictable holders: an authenticated connection is no stranger's.
SlotDecision decideAdmission(const std::vector<SlotHolder>& holders, const std::string& address, std::size_t capacity,
                             std::size_t perAddress);

}  // namespace orvo
