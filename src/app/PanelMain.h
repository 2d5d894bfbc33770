#pragma once

namespace orvo {

// Whether a desktop can show the panel: a Wayland compositor's socket, or an X display at
// $DISPLAY.
bool displayIsReachable();

// The host with its control panel: Qt on the calling (main) thread, the host's main
// queue on a thread of its own. Returns the process's exit status.
int runWithPanel(int argc, char** argv);

}  // namespace orvo
