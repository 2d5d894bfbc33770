// A paired client's control stream: bytes reach the host's line splitter in pieces, each
// line is decoded and dispatched to the real window list, focus, snapshot and input
// handlers, on the virtual loop with a fake desktop (two windows with pictures) and a
// recording input injector. Everything the host sends back must read as a clean stream
// of JSON lines and frames.
#include <memory>

#include "FuzzSupport.h"
#include "client/SessionStreamParser.h"
#include "fakes/FakeInputInjector.h"
#include "fakes/FakeWindowCapturer.h"
#include "fakes/FakeWindowServer.h"
#include "input/RemoteInput.h"
#include "input/WindowFocus.h"
#include "streaming/SnapshotPump.h"
#include "streaming/WindowCatalogue.h"
#include "unit/host/HostHarness.h"

using namespace orvo;
using namespace orvo::testing;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  HostHarness h;
  h.settings.setValue("allowControlThisMac", true);
  h.activation.applications = {{100, "App"}, {200, "Other"}};
  h.activation.windowsByPid[100] = {7};
  h.activation.windowsByPid[200] = {8};
  FakeWindowServer windows;
  windows.add(8, {600, 300, 400, 400}, "Other", "Notes", 200);
  windows.add(7, {100, 50, 800, 600}, "App", "Document", 100);
  FakeWindowCapturer capturer;
  capturer.setPicture(7, 64, 48);
  capturer.setPicture(8, 40, 40, 9);
  FakeInputInjector injector;
  h.start(false);

  {
    auto& main = h.loop.main();
    const auto queues = h.host->queues();
    WindowCatalogue catalogue(windows, *h.host, main, h.loop.clock(), h.logger);
    WindowFocus focus(*h.host, catalogue, windows, h.activation, queues.focusState, main, h.loop.clock(), h.logger);
    SnapshotPump pump(*h.host, queues, main, h.loop.clock(), h.logger, catalogue, focus, capturer);
    RemoteInput input(*h.host, focus, catalogue, pump, injector, queues.clickTracking, main, h.loop.clock(), h.logger);
    h.host->attachHandlers({&catalogue, &pump, &focus, &input});

    auto connection = h.connectClient();
    fuzz::forEachPiece(data, size, [&](const std::uint8_t* piece, std::size_t length) {
      // The host stops reading once it ends the session.
      if (!connection->deliver(std::string(fuzz::text(piece, length)))) return false;
      h.loop.drain();
      h.loop.advance(0.05);  // delayed clicks and frame pacing
      return true;
    });
    h.loop.advance(11.0);  // past the liveness limit
    h.host->shutdown();
    h.loop.drain();

    std::size_t units = 0;
    client::SessionStreamParser parser({.line = [&](std::string line) {
                                          fuzz::check(json::parse(line).has_value(), "host sent a line that is not JSON");
                                          ++units;
                                        },
                                        .frame = [&](client::ReceivedFrame) { ++units; }});
    for (const auto& chunk : connection->sent()) fuzz::check(parser.feed(chunk), "host sent a broken stream");
    fuzz::check(!parser.midUnit(), "host sent half a unit");
    h.host->attachHandlers({});
    h.loop.drain();
  }
  return 0;
}
