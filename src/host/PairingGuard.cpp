#include "host/PairingGuard.h"

#include <algorithm>
#include <cmath>

namespace orvo {

PairingGuard::PairingGuard(Limits limits, double now)
    : limits_(limits), tokens_(limits.failureBurst), tokensAt_(now) {}

void PairingGuard::refill(double now) {
  if (now > tokensAt_) {
    tokens_ = std::min<double>(limits_.failureBurst, tokens_ + (now - tokensAt_) / limits_.failureRefillSeconds);
  }
  tokensAt_ = std::max(tokensAt_, now);
}

double PairingGuard::allowance(double now) const {
  if (now <= tokensAt_) return tokens_;
  return std::min<double>(limits_.failureBurst, tokens_ + (now - tokensAt_) / limits_.failureRefillSeconds);
}

void PairingGuard::forgetIdle(double now) {
  std::erase_if(addresses_, [&](const auto& entry) {
    const Address& a = entry.second;
    return !a.handshaking && a.notBefore <= now && now - a.lastActive >= limits_.addressMemorySeconds;
  });
}

PairingGuard::Verdict PairingGuard::gate(const std::string& address, double now) {
  if (suspended_) return {Gate::closed};
  refill(now);
  const auto found = addresses_.find(address);
  if (found != addresses_.end()) {
    const Address& a = found->second;
    if (a.failures >= limits_.failuresPerAddress) return {Gate::closed};
    if (a.handshaking) return {Gate::busy};
  }
  // Every handshake in progress may still fail: the failures it might add must fit.
  if (failures_ + inProgress_ >= limits_.failuresPerCode) return {Gate::busy};
  if (found != addresses_.end() && found->second.notBefore > now) return {Gate::wait, found->second.notBefore};
  // (A hair below one counts as one: refills in floating point may stop just short.)
  if (tokens_ - inProgress_ < 1 - 1e-9) {
    if (inProgress_ > 0) return {Gate::busy};
    return {Gate::wait, now + (1 - tokens_) * limits_.failureRefillSeconds};
  }
  return {Gate::open};
}

void PairingGuard::begin(const std::string& address) {
  Address& a = addresses_[address];
  a.handshaking = true;
  ++inProgress_;
}

bool PairingGuard::end(const std::string& address, bool failed, double now) {
  forgetIdle(now);
  Address& a = addresses_[address];
  if (a.handshaking) {
    a.handshaking = false;
    inProgress_ = std::max(0, inProgress_ - 1);
  }
  a.lastActive = now;
  if (!failed) {
    // Nothing to remember of an address that never failed: strangers from many
    // addresses leave no state behind.
    if (a.failures == 0 && a.notBefore <= now) addresses_.erase(address);
    return false;
  }
  refill(now);
  tokens_ -= 1;
  ++a.failures;
  a.notBefore = now + limits_.firstAddressDelay * std::ldexp(1.0, std::min(a.failures - 1, 30));
  ++failures_;
  if (suspended_ || failures_ < limits_.failuresPerCode) return false;
  suspended_ = true;
  return true;
}

void PairingGuard::renew(double now) {
  suspended_ = false;
  failures_ = 0;
  for (auto& [key, a] : addresses_) {
    a.failures = 0;
    a.notBefore = 0;
  }
  forgetIdle(now);
}

}  // namespace orvo
