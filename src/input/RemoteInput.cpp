#include "input/RemoteInput.h"

#include "platform/InputInjector.h"

namespace orvo {

RemoteInput::RemoteInput(SessionContext& session, WindowFocus& focus, WindowCatalogue& catalogue,
                         InputTimeRecorder& recorder, platform::InputInjector& injector,
                         SerialQueue& clickTrackingQueue, MainQueue& main, const Clock& clock, Logger& logger)
    : injector_(injector),
      pointer_(session, focus, catalogue, recorder, injector, clickTrackingQueue, main, clock, logger),
      keyboard_(session, focus, recorder, injector, main, clock, logger) {}

void RemoteInput::resetClickTracking() {
  pointer_.resetClickTracking();
  keyboard_.reset();
  // Called on the main queue at the end of a session: nothing the client pressed or
  // remapped outlives it.
  injector_.releaseAll();
}

}  // namespace orvo
