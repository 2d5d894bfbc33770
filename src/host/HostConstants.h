#pragma once

#include <cstdint>
#include <string>

namespace orvo {

// A stream profile: how large and how heavy the frames of a window are.
struct StreamProfile {
  std::string name;         // "int" or "ref", shown in the timing log
  double maxDim = 0;        // longest side of a sent frame, pixels
  std::int64_t targetBytes = 0;  // JPEG size the quality loop aims at
  double qMin = 0;          // clamp of the quality loop's proposal
  double qMax = 0;
  double initialQ = 0;      // quality of a window's first frame
  bool isRefine = false;
};

// Fast frames while the user acts.
inline const StreamProfile interactiveProfile{"int", 1600, 180000, 0.5, 0.88, 0.78, false};
// A larger, finer frame once input has paused.
inline const StreamProfile refineProfile{"ref", 2300, 450000, 0.75, 0.95, 0.9, true};

inline constexpr double pingMonitorInterval = 2.0;
inline constexpr double pingTimeoutSeconds = 10.0;
inline constexpr double focusThrottleInterval = 0.2;
inline constexpr double minWindowListSendInterval = 0.75;
inline constexpr double pairingPinTTL = 600.0;
inline constexpr std::int64_t maxHostSnapshotsInFlight = 2;
inline constexpr std::uint64_t perf_logEveryNFrames = 60;

// Largest read of the session receive loop.
inline constexpr std::size_t sessionReceiveChunk = 65536;
// A partial control line longer than this closes the session connection.
inline constexpr std::size_t maxPartialLineBytes = 1 << 20;
// TLS handshakes of the session listener in progress at once, in all and from one
// address (an IPv6 /64 counts as one), and how long one may take.
inline constexpr std::size_t maxPendingHandshakes = 8;
inline constexpr std::size_t maxPendingHandshakesPerAddress = 2;
inline constexpr double handshakeTimeoutSeconds = 10.0;
// An unauthenticated connection (session or pairing) whose peer has not sent its first
// TLS record whole by then is closed.
inline constexpr double firstRecordTimeoutSeconds = 2.0;
// Pairing connections open at once, in all and not yet paired from one address, and how
// long one may stay open.
inline constexpr std::size_t maxPairingConnections = 8;
inline constexpr std::size_t maxPairingConnectionsPerAddress = 2;
inline constexpr double pairingConnectionLifetime = 30.0;
// Lines about refused and failed connections: this many of a kind per period, then a summary.
inline constexpr double refusalLogPeriod = 10.0;
inline constexpr int refusalLinesPerPeriod = 5;

}  // namespace orvo
