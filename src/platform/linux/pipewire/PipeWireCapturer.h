#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "platform/WindowServer.h"

struct pw_thread_loop;
struct pw_context;
struct pw_core;
struct pw_registry;
struct spa_pod;

namespace orvo {
class Logger;
}

namespace orvo::platform::pipewire {

// What the streams report. Called on the PipeWire thread: the receiver hands the news over
// to its own queue and must not call back into the capturer from inside the callback.
struct StreamEvents {
  // A stream's picture size (after crop) became known or changed.
  std::function<void(std::uint32_t window, int width, int height)> sizeChanged;
  // A stream can no longer deliver pictures (its node went away, it failed, or its format
  // is not one the host reads); `reason` is for one log line. Reported once per stream.
  std::function<void(std::uint32_t window, const std::string& reason)> ended;
  // The connection to PipeWire is lost; every stream has ended.
  std::function<void(const std::string& reason)> disconnected;
};

// Windows shared as PipeWire video streams, each consumed by one pw_stream on one
// pw_thread_loop of its own. The newest buffer of each stream is copied (cropped, converted
// to B,G,R,X bytes) into the window's incoming picture on the PipeWire thread; a capture
// takes it over without copying.
//
// Streams. A stream asks for raw video in BGRx, BGRA, RGBx or RGBA of any size and frame
// rate, in buffers of shared memory (MemFd or MemPtr, mapped by PipeWire; never DmaBuf),
// with crop, damage and cursor metadata. The crop (VideoCrop) selects the window within
// the buffer (GNOME sends monitor-sized buffers with the window at the top left); without
// one, or with one of zero size, the whole buffer is the picture, and a crop beyond the
// buffer is clipped to it. The cursor metadata is asked for only to keep the cursor out of
// the picture: it is never drawn. The alpha of BGRA/RGBA is ignored. A stream connects to
// its node only: should the node be missing, PipeWire's session manager is told not to link
// it to another source instead.
//
// Links. A producer sends a buffer when a consumer starts streaming from it (GNOME records
// a frame when its stream is enabled), then only on change. A stream that streams for 2 s
// without any buffer is linked afresh (a new pw_stream to the same node), at most three
// times in a row: PipeWire 0.3.65 now and then brings up a link, active on both sides,
// whose driver never reaches the consumer. On streaming, the stream also asks the driver
// for a cycle (RequestProcess), which delivers a buffer sent before this node ran if the
// producer honours the request.
//
// Buffers. On each process call every queued buffer is dequeued; the newest that carries a
// picture is copied and all are queued back at once. A buffer marked corrupted (chunk or
// header), with an empty chunk (a cursor-only update), or whose rows or crop reach beyond
// its chunk or memory is skipped (logged once per stream and kind). A chunk stride of 0
// means rows of width × 4 bytes. Producers send buffers only when the window changed, so a
// window's newest picture stays until the next one arrives.
//
// Changes. The damage metadata (VideoDamage: regions of the buffer) of every buffer since
// the previous takeChanges, those skipped over included, becomes rows of the picture
// (clipped to the crop). A buffer without damage metadata, a crop that moved or changed
// size, a new format, or the first picture make the next answer `everything`.
//
// Ends. A stream ends, reported once through StreamEvents::ended, when its node is not
// there when the stream is added, when the node goes away, when the node offers only
// formats the host cannot read or the negotiated format is one of them ("unsupported
// format …"), when the stream fails or is disconnected. A lost connection (the PipeWire
// daemon went away, or the core failed) ends every stream at once and is reported through
// StreamEvents::disconnected alone. An ended stream gives no picture; removeStream() is
// still the caller's to call.
//
// Threads and lifetimes.
// - The PipeWire thread (the capturer's pw_thread_loop) runs every PipeWire callback with
//   the loop's lock held: buffers are copied there, and StreamEvents are called there.
// - addStream, removeStream and the destructor may be called from any thread but the
//   PipeWire thread (so never from inside a StreamEvents callback); they take the loop's
//   lock. pictureSize may be called from any thread.
// - The capture calls (captureWindow, takeChanges, captureRows) come from one queue at a
//   time (the host's capture queue). They never wait for the PipeWire thread: the two
//   meet only on a short mutex around the hand-over of a picture, and the PipeWire thread
//   never writes a picture the capture queue may read.
// - A returned ImageView stays valid until the next takeChanges or captureWindow of the
//   same window. After removeStream of the window it stays valid until the capture
//   queue's next call into the capturer, so a removal from another queue never pulls a
//   picture from under a frame being encoded.
// - Memory: two pictures per window (the size of its crop), reused while the size stays,
//   freed by removeStream.
// - StreamEvents and the logger must outlive the capturer. The capturer owns the PipeWire
//   connection (and the descriptor it was given), its thread and every stream.
class PipeWireCapturer final : public WindowCapturer {
 public:
  // Only through connect(): the key keeps other callers out.
  struct Key {
    explicit Key() = default;
  };
  PipeWireCapturer(Key, StreamEvents events, Logger& logger);

  // Connects on `fd` (ownership taken; a descriptor from OpenPipeWireRemote), or with -1 on
  // the default socket of $XDG_RUNTIME_DIR / $PIPEWIRE_REMOTE. Null with the reason in
  // `error` when there is no PipeWire to connect to.
  static std::unique_ptr<PipeWireCapturer> connect(int fd, StreamEvents events, Logger& logger, std::string& error);
  ~PipeWireCapturer() override;
  PipeWireCapturer(const PipeWireCapturer&) = delete;
  PipeWireCapturer& operator=(const PipeWireCapturer&) = delete;

  // Any thread but the PipeWire thread. Starts consuming node `nodeId` as `window`.
  // False (with a log line) when the stream cannot be made: no connection, the window
  // already has a stream, or PipeWire refused it. Whether the node exists and what it
  // offers is learnt afterwards: a stream that cannot work ends (StreamEvents::ended).
  bool addStream(std::uint32_t window, std::uint32_t nodeId);
  // Stops consuming the window's stream and forgets its pictures. No event of the stream
  // follows once it returns.
  void removeStream(std::uint32_t window);
  // The window's picture size, once a buffer arrived.
  std::optional<std::pair<int, int>> pictureSize(std::uint32_t window) const;
  // How many pictures of the window have arrived (buffers skipped over while a newer one
  // waited count once); 0 for an unknown window.
  std::uint64_t picturesReceived(std::uint32_t window) const;

  // Capture queue (WindowCapturer). The mode is ignored: a stream is what the compositor
  // shows of the window. Bounds are not used.
  // The window's newest picture, taken over; nothing when the stream has never delivered
  // one, has ended or is unknown.
  std::optional<ImageView> captureWindow(std::uint32_t window, const std::optional<Rect>& bounds,
                                         CaptureMode mode) override;
  // Takes over the newest picture, if one arrived, and answers the changes since the
  // previous takeChanges: none when no newer picture came, the damaged rows when every
  // buffer in between carried damage, else (and for a window without a picture)
  // everything.
  PictureChanges takeChanges(std::uint32_t window, const std::optional<Rect>& bounds, CaptureMode mode) override;
  // The picture taken over by takeChanges just before, whole (every row is current);
  // nothing when there is none.
  std::optional<ImageView> captureRows(std::uint32_t window, const std::optional<Rect>& bounds, CaptureMode mode,
                                       const std::vector<RowSpan>& rows) override;
  bool usesBounds() const override { return false; }

 private:
  struct Stream;
  struct Callbacks;
  struct LoopDeleter {
    void operator()(pw_thread_loop* loop) const;
  };
  struct ContextDeleter {
    void operator()(pw_context* context) const;
  };

  // Connects and waits for the first round trip. False with `error` set on failure.
  bool start(int fd, std::string& error);

  // PipeWire thread (loop lock held).
  void onCoreDone(std::uint32_t id, int seq);
  void onCoreError(std::uint32_t id, int seq, int res, const char* message);
  void onGlobal(std::uint32_t id, const char* type);
  void onGlobalRemove(std::uint32_t id);
  void onNodeParam(Stream& stream, std::uint32_t id, const spa_pod* param);
  void onStreamState(Stream& stream, int old, int state, const char* error);
  void onStreamParam(Stream& stream, std::uint32_t id, const spa_pod* param);
  void onProcess(Stream& stream);
  void checkNode(Stream& stream);
  void checkOfferedFormats(Stream& stream);
  void endStream(Stream& stream, const std::string& reason);
  // Makes and connects the stream's pw_stream to its node; false (logged) on failure.
  bool openStream(Stream& stream);
  // Destroys the stream's pw_stream, if any; no callback of it follows.
  void closeStream(Stream& stream);
  void armFirstBufferTimer(Stream& stream, bool on);
  void onFirstBufferTimeout(Stream& stream);
  void loseConnection(const std::string& reason);
  // Loop lock held: stops the stream's PipeWire objects; no callback of it follows.
  void destroyStream(Stream& stream);

  // Capture queue. The window's stream, kept alive for the pictures handed out.
  std::shared_ptr<Stream> streamForCapture(std::uint32_t window);

  StreamEvents events_;
  Logger& logger_;
  std::unique_ptr<pw_thread_loop, LoopDeleter> loop_;
  std::unique_ptr<pw_context, ContextDeleter> context_;
  std::unique_ptr<Callbacks> callbacks_;  // listeners of the core and the registry

  // Loop lock.
  pw_core* core_ = nullptr;
  pw_registry* registry_ = nullptr;
  std::unordered_set<std::uint32_t> nodes_;  // the nodes the registry announced
  int startSeq_ = -1;
  bool started_ = false;
  bool connected_ = false;
  std::string startError_;

  // Guards the window map only (never held while calling out).
  mutable std::mutex streamsMutex_;
  std::unordered_map<std::uint32_t, std::shared_ptr<Stream>> streams_;

  // Capture queue only: streams whose pictures were handed out.
  std::unordered_map<std::uint32_t, std::shared_ptr<Stream>> held_;
};

}  // namespace orvo::platform::pipewire
