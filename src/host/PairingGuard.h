#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>

namespace orvo {

// How many pairing codes may be tried, from one address and from all of them. Every
// failed pairing handshake is one guess at the 6-digit code; the bounds keep the chance
// of guessing a code below one in 10^4 a day from any number of addresses, while a person
// who reads the code (and maybe mistypes it) pairs at once.
//
// - One handshake at a time per address; after its n-th failure the next waits 2^(n-1) s
//   (1, 2, 4, 8 s) and after `failuresPerAddress` failures the address gets no more until
//   the person asks for a new code. One address alone can never suspend pairing.
// - All addresses draw on one budget of failures: a bucket of `failureBurst` that refills
//   by one every `failureRefillSeconds`. A handshake starts only while the failures it
//   might add fit the bucket, so in any 24 h at most burst + 86400 / refill codes are
//   tried (88 with the defaults: a chance of at most 8.8 × 10^-5 a day). The bucket
//   survives new codes, asked for or not.
// - After `failuresPerCode` failures since the person last asked for a code, pairing is
//   suspended until they ask again. Codes replaced on their own (expiry, a pairing) keep
//   the count: wrong handshakes never replace the code a person is reading.
//
// Pure logic on a time given by the caller (seconds, any monotonic origin); main queue.
class PairingGuard {
 public:
  struct Limits {
    int failuresPerCode = 20;
    int failuresPerAddress = 5;
    int failureBurst = 40;
    double failureRefillSeconds = 1800;
    double firstAddressDelay = 1.0;
    // An address without a handshake and past its delay is forgotten after this long.
    double addressMemorySeconds = 86400;
  };

  enum class Gate {
    open,    // may start now
    busy,    // waits for a handshake in progress to end (its own address's, or budget held by others)
    wait,    // may start at `at`
    closed,  // not before the person asks for a new code (pairing suspended, or this address used up)
  };
  struct Verdict {
    Gate gate = Gate::open;
    double at = 0;
  };

  PairingGuard(Limits limits, double now);

  Verdict gate(const std::string& address, double now);
  // A handshake from `address` starts (after gate() said open).
  void begin(const std::string& address);
  // It ended; `failed` counts it. Returns true when this failure suspended pairing.
  bool end(const std::string& address, bool failed, double now);
  // The person asked for a new code: pairing resumes, the counts and delays of the code
  // start again. The bucket stays.
  void renew(double now);

  bool suspended() const { return suspended_; }
  int failuresSinceRenewal() const { return failures_; }
  int inProgress() const { return inProgress_; }
  // Failures the bucket allows at `now` (not before the last event).
  double allowance(double now) const;
  std::size_t trackedAddresses() const { return addresses_.size(); }
  const Limits& limits() const { return limits_; }

 private:
  struct Address {
    bool handshaking = false;
    int failures = 0;  // since the last renewal
    double notBefore = 0;
    double lastActive = 0;
  };
  void refill(double now);
  void forgetIdle(double now);

  Limits limits_;
  double tokens_;
  double tokensAt_;
  int failures_ = 0;
  int inProgress_ = 0;
  bool suspended_ = false;
  std::map<std::string, Address> addresses_;
};

}  // namespace orvo
