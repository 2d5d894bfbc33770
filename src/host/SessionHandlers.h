#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "host/ControlMessages.h"

namespace orvo {

class SerialQueue;
namespace platform {
class Connection;
}

// What the streaming and input parts need from the session. Implemented by OrvoHost.
class SessionContext {
 public:
  virtual ~SessionContext() = default;
  // Encodes a host-to-client record as one line and queues it on the send queue.
  // Callable from any queue; dropped silently when no client is connected.
  virtual void sendMessage(const WindowListMessage& message) = 0;
  virtual void sendMessage(const InputRejectedMessage& message) = 0;
  // The current session connection, or none. Callable from any queue.
  virtual std::shared_ptr<platform::Connection> currentConnection() const = 0;
  // The remote-control permission: "allowControlThisMac" is true and input injection is
  // available on the display. Read afresh on every call; main queue.
  virtual bool isRemoteControlPermitted() = 0;
};

// Answers "requestWindowList", and says which windows may be streamed. Main queue.
class WindowListHandler {
 public:
  virtual ~WindowListHandler() = default;
  virtual void handleWindowListRequest() = 0;
  // Whether frames of this window may be served: it is in the window list the host
  // serves (any other window of the desktop, a window manager's frame for one, is not).
  // Logs a refusal.
  virtual bool admitsFrames(std::uint32_t windowId) = 0;
};

// The snapshot pump and the capture-mode state. Main queue.
class StreamHandler {
 public:
  virtual ~StreamHandler() = default;
  virtual void handleSnapshotRequest(std::optional<std::uint32_t> windowId) = 0;
  // Enqueues the new mode of the window on the focus-state queue.
  virtual void setCaptureMode(std::uint32_t windowId, CaptureMode mode) = 0;
  // Enqueues the pump's reset on the capture queue (end of a session).
  virtual void resetStreamState() = 0;
};

// The client's active window. Main queue.
class FocusHandler {
 public:
  virtual ~FocusHandler() = default;
  // Enqueues the write of the client's active window on the focus-state queue.
  virtual void setClientActiveWindow(std::uint32_t windowId) = 0;
};

// Pointer and keyboard injection. Main queue.
class InputHandler {
 public:
  virtual ~InputHandler() = default;
  virtual void handlePointerRequest(const OrvoRequest& request) = 0;
  virtual void handleKeyboardText(const std::string& text) = 0;
  virtual void handleKeyboardCommand(KeyboardCommand command) = 0;
  // End of a session: forget click sequences, release anything held down.
  virtual void resetClickTracking() = 0;
};

// Records remote input for the choice of stream profile (input keeps frames interactive)
// and makes the input's window the client's active window. Main queue.
class InputTimeRecorder {
 public:
  virtual ~InputTimeRecorder() = default;
  virtual void noteInput(std::optional<std::uint32_t> windowId) = 0;
};

// The handlers dispatch routes to. Owned by whoever assembles the host; they must
// outlive it. A missing handler leaves its message types unserved (logged, dropped).
struct SessionHandlers {
  WindowListHandler* windowList = nullptr;
  StreamHandler* stream = nullptr;
  FocusHandler* focus = nullptr;
  InputHandler* input = nullptr;
};

}  // namespace orvo
