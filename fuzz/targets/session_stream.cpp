// The host-to-client session stream as the reference client reads it: bytes reach the
// client in pieces, its stream parser splits them into control lines and frame records,
// and each line is decoded and reported. The units, and where the stream breaks, must not
// depend on how the bytes were cut; the session ends once, at the end or on a broken stream.
#include <variant>
#include <vector>

#include "FuzzSupport.h"
#include "client/OrvoClient.h"
#include "client/SessionStreamParser.h"
#include "core/testing/VirtualLoop.h"
#include "unit/client/ClientTestSupport.h"

using namespace orvo;
using namespace orvo::testing;

namespace {

using Unit = std::variant<std::string, std::pair<std::uint32_t, Bytes>>;

// Small bounds so that the limits are reached within fuzzer-sized inputs.
constexpr client::SessionStreamParser::Limits kLimits{.maxLineBytes = 4096, .maxFrameBytes = 8192};

struct Parsed {
  std::vector<Unit> units;
  bool broken = false;
};

Parsed parseWhole(const std::uint8_t* data, std::size_t size) {
  Parsed out;
  client::SessionStreamParser parser(
      {.line = [&](std::string line) { out.units.emplace_back(std::move(line)); },
       .frame = [&](client::ReceivedFrame frame) { out.units.emplace_back(std::pair(frame.windowId, frame.jpeg)); }},
      kLimits);
  out.broken = !parser.feed({data, size});
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const Parsed whole = parseWhole(data, size);

  VirtualLoop loop;
  RecordingClientNetwork network(loop.main());
  Parsed pieces;
  int ends = 0;
  client::SessionEndKind endKind = client::SessionEndKind::closed;
  client::OrvoClientHandlers handlers{
      .windowList = [&](const WindowListMessage&) {},
      .inputRejected = [&](const InputRejectedMessage&) {},
      .frame = [&](client::ReceivedFrame frame) { pieces.units.emplace_back(std::pair(frame.windowId, frame.jpeg)); },
      .unknownLine = [&](const std::string&, const std::string& why) {
        fuzz::check(!why.empty(), "a line was set aside without a reason");
      },
      .ended =
          [&](const client::SessionEnd& end) {
            ++ends;
            endKind = end.kind;
          },
  };
  auto session = client::OrvoClient::create(loop.main(), network,
                                            client::OrvoClientOptions{.deviceName = "Fuzz", .limits = kLimits},
                                            handlers);
  session->connect("192.0.2.1", 50000, "PAIRING-ID", Bytes(32, 0x41));
  loop.drain();
  auto connection = network.made.front().connection;
  connection->deliverState(platform::ConnectionStateKind::ready);
  loop.drain();

  // Splits the same bytes in pieces, counting lines as the client's parser sees them.
  client::SessionStreamParser counter(
      {.line = [&](std::string line) { pieces.units.emplace_back(std::move(line)); }, .frame = {}}, kLimits);
  fuzz::forEachPiece(data, size, [&](const std::uint8_t* piece, std::size_t length) {
    pieces.broken = !counter.feed({piece, length}) || pieces.broken;
    if (!connection->deliver(std::string(fuzz::text(piece, length)))) return false;
    loop.drain();
    return true;
  });
  if (connection->deliver("", true)) loop.drain();

  std::vector<Unit> wholeLines;
  std::vector<Unit> wholeFrames;
  for (const auto& unit : whole.units) (std::holds_alternative<std::string>(unit) ? wholeLines : wholeFrames).push_back(unit);
  std::vector<Unit> pieceLines;
  std::vector<Unit> pieceFrames;
  for (const auto& unit : pieces.units) (std::holds_alternative<std::string>(unit) ? pieceLines : pieceFrames).push_back(unit);
  fuzz::check(pieceLines == wholeLines, "lines depend on how the stream was cut");
  fuzz::check(pieceFrames == wholeFrames, "frames depend on how the stream was cut");
  fuzz::check(pieces.broken == whole.broken, "where the stream breaks depends on how it was cut");
  fuzz::check(ends == 1, "the session did not end exactly once");
  fuzz::check((endKind == client::SessionEndKind::protocol) == whole.broken, "a broken stream ended the wrong way");
  fuzz::check(connection->cancelled, "the session's connection stayed open");
  return 0;
}
