#pragma once

namespace orvo {

// Whether an X display can be reached at $DISPLAY.
bool displayIsReachable();

// The host with its control panel: Qt on the calling (main) thread, the host's main
// queue on a thread of its own. Returns the process's exit status.
int runWithPanel(int argc, char** argv);

}  // namespace orvo
