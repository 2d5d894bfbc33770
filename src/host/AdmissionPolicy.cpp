#include "host/AdmissionPolicy.h"

#include <arpa/inet.h>

#include <algorithm>
#include <array>

namespace orvo {

std::string addressKeyOf(std::string_view endpoint) {
  if (endpoint.starts_with('[')) {
    const auto close = endpoint.find(']');
    const std::string inside(endpoint.substr(1, close == std::string_view::npos ? std::string_view::npos : close - 1));
    std::array<unsigned char, 16> bytes{};
    if (::inet_pton(AF_INET6, inside.c_str(), bytes.data()) != 1) return inside;
    std::fill(bytes.begin() + 8, bytes.end(), 0);
    std::array<char, INET6_ADDRSTRLEN> text{};
    if (::inet_ntop(AF_INET6, bytes.data(), text.data(), text.size()) == nullptr) return inside;
    return std::string(text.data()) + "/64";
  }
  const auto colon = endpoint.rfind(':');
  return std::string(colon == std::string_view::npos ? endpoint : endpoint.substr(0, colon));
}

SlotDecision decideAdmission(const std::vector<SlotHolder>& holders, const std::string& address, std::size_t capacity,
                             std::size_t perAddress) {
  const auto own = static_cast<std::size_t>(std::ranges::count_if(
      holders, [&](const SlotHolder& holder) { return holder.evictable && holder.address == address; }));
  if (own >= perAddress) return {.kind = SlotDecision::Kind::refuseAddressFull};
  if (holders.size() < capacity) return {.kind = SlotDecision::Kind::admit};
  // Full. A newcomer that holds nothing takes the place of the oldest stranger: whoever
  // keeps every slot busy cannot keep a new address out, and a real client's handshake,
  // done in milliseconds, is long gone before it would be the oldest.
  if (own > 0) return {.kind = SlotDecision::Kind::refuseFull};
  const SlotHolder* oldest = nullptr;
  for (const auto& holder : holders) {
    if (holder.evictable && (!oldest || holder.serial < oldest->serial)) oldest = &holder;
  }
  if (!oldest) return {.kind = SlotDecision::Kind::refuseFull};
  return {.kind = SlotDecision::Kind::admit, .evict = oldest->serial};
}

}  // namespace orvo
