#include "platform/linux/pipewire/PipeWireCapturer.h"

#include <pipewire/pipewire.h>
#include <spa/buffer/meta.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "core/Log.h"
#include "platform/linux/pipewire/BufferPicture.h"
#include "platform/linux/pipewire/PictureHandOver.h"
#include "platform/linux/pipewire/StreamParams.h"

namespace orvo::platform::pipewire {
namespace {

// Larger pictures are refused: no window comes near it, and a producer that claims such a
// size must not make the host allocate gigabytes.
constexpr std::int64_t maxPicturePixels = 8192LL * 8192LL;
// A producer sends a buffer as soon as a consumer streams from it (GNOME records a frame
// when its stream is enabled). With PipeWire 0.3.65 a link now and then comes up active on
// both sides while the driver's cycles never reach the consumer (seen about once in 30
// links of the test producer, no buffer ever after); a new stream to the same node then
// works. So a stream that streams without a buffer for this long is connected afresh, at
// most this many times in a row.
constexpr long firstBufferTimeoutNanoseconds = 2'000'000'000;
constexpr int maxReconnects = 3;

// Holds the thread loop's lock for a scope.
class LoopLock {
 public:
  explicit LoopLock(pw_thread_loop* loop) : loop_(loop) { pw_thread_loop_lock(loop_); }
  ~LoopLock() { pw_thread_loop_unlock(loop_); }
  LoopLock(const LoopLock&) = delete;
  LoopLock& operator=(const LoopLock&) = delete;

 private:
  pw_thread_loop* loop_;
};

}  // namespace

// One window's stream. The capturer's map and the capture queue share it; PipeWire's
// callbacks get its address, which stays put.
struct PipeWireCapturer::Stream {
  Stream(PipeWireCapturer& owner_, std::uint32_t window_, std::uint32_t nodeId_)
      : owner(owner_), window(window_), nodeId(nodeId_) {}

  PipeWireCapturer& owner;
  const std::uint32_t window;
  const std::uint32_t nodeId;
  PictureHandOver pictures;
  std::atomic<bool> removed{false};

  // PipeWire thread or the loop's lock.
  pw_stream* stream = nullptr;
  spa_hook streamListener{};
  // Armed while the stream streams without having had a buffer.
  spa_source* firstBufferTimer = nullptr;
  bool bufferSinceStreaming = false;
  int reconnects = 0;
  // The node, bound only while its formats are asked for.
  pw_proxy* node = nullptr;
  spa_hook nodeListener{};
  // The round trip after which the node's presence, then its formats, are checked.
  enum class Check { node, formats, none };
  Check check = Check::none;
  int checkSeq = -1;
  std::vector<std::uint32_t> offeredFormats;
  // The negotiated format.
  bool negotiated = false;
  int width = 0;
  int height = 0;
  ChannelOrder order = ChannelOrder::bgr;
  bool ended = false;
  bool removing = false;
  // The crop of the last buffer used: a different one changes the whole picture.
  std::optional<BufferRegion> lastCrop;
  std::optional<std::pair<int, int>> reportedSize;
  PictureChanges batch{false, {}};  // the changes of the buffers of one process call
  std::vector<std::string> loggedSkips;
};

// The listeners of the core and the registry, and the tables of every callback.
struct PipeWireCapturer::Callbacks {
  spa_hook coreListener{};
  spa_hook registryListener{};

  static pw_core_events coreEvents() {
    pw_core_events events{};
    events.version = PW_VERSION_CORE_EVENTS;
    events.done = [](void* data, std::uint32_t id, int seq) {
      static_cast<PipeWireCapturer*>(data)->onCoreDone(id, seq);
    };
    events.error = [](void* data, std::uint32_t id, int seq, int res, const char* message) {
      static_cast<PipeWireCapturer*>(data)->onCoreError(id, seq, res, message);
    };
    return events;
  }
  static pw_registry_events registryEvents() {
    pw_registry_events events{};
    events.version = PW_VERSION_REGISTRY_EVENTS;
    events.global = [](void* data, std::uint32_t id, std::uint32_t, const char* type, std::uint32_t,
                       const spa_dict*) { static_cast<PipeWireCapturer*>(data)->onGlobal(id, type); };
    events.global_remove = [](void* data, std::uint32_t id) {
      static_cast<PipeWireCapturer*>(data)->onGlobalRemove(id);
    };
    return events;
  }
  static pw_stream_events streamEvents() {
    pw_stream_events events{};
    events.version = PW_VERSION_STREAM_EVENTS;
    events.state_changed = [](void* data, pw_stream_state old, pw_stream_state state, const char* error) {
      auto* stream = static_cast<Stream*>(data);
      stream->owner.onStreamState(*stream, old, state, error);
    };
    events.param_changed = [](void* data, std::uint32_t id, const spa_pod* param) {
      auto* stream = static_cast<Stream*>(data);
      stream->owner.onStreamParam(*stream, id, param);
    };
    events.process = [](void* data) {
      auto* stream = static_cast<Stream*>(data);
      stream->owner.onProcess(*stream);
    };
    return events;
  }
  static pw_node_events nodeEvents() {
    pw_node_events events{};
    events.version = PW_VERSION_NODE_EVENTS;
    events.param = [](void* data, int, std::uint32_t id, std::uint32_t, std::uint32_t, const spa_pod* param) {
      auto* stream = static_cast<Stream*>(data);
      stream->owner.onNodeParam(*stream, id, param);
    };
    return events;
  }

  static const pw_core_events core;
  static const pw_registry_events registry;
  static const pw_stream_events stream;
  static const pw_node_events node;
};

const pw_core_events PipeWireCapturer::Callbacks::core = PipeWireCapturer::Callbacks::coreEvents();
const pw_registry_events PipeWireCapturer::Callbacks::registry = PipeWireCapturer::Callbacks::registryEvents();
const pw_stream_events PipeWireCapturer::Callbacks::stream = PipeWireCapturer::Callbacks::streamEvents();
const pw_node_events PipeWireCapturer::Callbacks::node = PipeWireCapturer::Callbacks::nodeEvents();

void PipeWireCapturer::LoopDeleter::operator()(pw_thread_loop* loop) const { pw_thread_loop_destroy(loop); }
void PipeWireCapturer::ContextDeleter::operator()(pw_context* context) const { pw_context_destroy(context); }

PipeWireCapturer::PipeWireCapturer(Key, StreamEvents events, Logger& logger)
    : events_(std::move(events)), logger_(logger), callbacks_(std::make_unique<Callbacks>()) {}

std::unique_ptr<PipeWireCapturer> PipeWireCapturer::connect(int fd, StreamEvents events, Logger& logger,
                                                             std::string& error) {
  // Sets up the library's plugin registry; once per process is enough.
  static std::once_flag initialized;
  std::call_once(initialized, [] { pw_init(nullptr, nullptr); });
  auto capturer = std::make_unique<PipeWireCapturer>(Key{}, std::move(events), logger);
  if (!capturer->start(fd, error)) return nullptr;
  return capturer;
}

bool PipeWireCapturer::start(int fd, std::string& error) {
  loop_.reset(pw_thread_loop_new("orvo-pipewire", nullptr));
  if (loop_) context_.reset(pw_context_new(pw_thread_loop_get_loop(loop_.get()), nullptr, 0));
  if (!loop_ || !context_ || pw_thread_loop_start(loop_.get()) < 0) {
    if (fd >= 0) ::close(fd);
    error = "cannot set up a PipeWire thread";
    return false;
  }
  LoopLock lock(loop_.get());
  pw_properties* properties = pw_properties_new(PW_KEY_APP_NAME, "Orvo Host", nullptr);
  // PipeWire owns the descriptor from here on, and closes it on failure too.
  core_ = fd >= 0 ? pw_context_connect_fd(context_.get(), fd, properties, 0)
                  : pw_context_connect(context_.get(), properties, 0);
  if (!core_) {
    error = std::string("cannot connect to PipeWire: ") + std::strerror(errno);
    return false;
  }
  connected_ = true;
  pw_core_add_listener(core_, &callbacks_->coreListener, &Callbacks::core, this);
  registry_ = pw_core_get_registry(core_, PW_VERSION_REGISTRY, 0);
  if (!registry_) {
    error = "cannot list PipeWire's objects";
    return false;
  }
  pw_registry_add_listener(registry_, &callbacks_->registryListener, &Callbacks::registry, this);
  // One round trip: the daemon answers (a descriptor may lead nowhere) and every node that
  // exists now is known before the first stream is added.
  startSeq_ = pw_core_sync(core_, PW_ID_CORE, 0);
  while (!started_ && connected_) {
    if (pw_thread_loop_timed_wait(loop_.get(), 10) != 0) {
      error = "PipeWire does not answer";
      return false;
    }
  }
  if (!connected_) {
    error = "PipeWire connection failed: " + startError_;
    return false;
  }
  return true;
}

PipeWireCapturer::~PipeWireCapturer() {
  if (loop_) {
    {
      LoopLock lock(loop_.get());
      std::unordered_map<std::uint32_t, std::shared_ptr<Stream>> streams;
      {
        std::lock_guard guard(streamsMutex_);
        streams.swap(streams_);
      }
      for (auto& [window, stream] : streams) destroyStream(*stream);
      if (registry_) {
        spa_hook_remove(&callbacks_->registryListener);
        pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry_));
        registry_ = nullptr;
      }
      if (core_) {
        spa_hook_remove(&callbacks_->coreListener);
        pw_core_disconnect(core_);
        core_ = nullptr;
      }
    }
    pw_thread_loop_stop(loop_.get());
  }
  context_.reset();
  loop_.reset();
}

bool PipeWireCapturer::addStream(std::uint32_t window, std::uint32_t nodeId) {
  if (pw_thread_loop_in_thread(loop_.get())) {
    logLine(logger_, "PipeWire: a stream cannot be added from the PipeWire thread (window", window, ")");
    return false;
  }
  LoopLock lock(loop_.get());
  if (!connected_) {
    logLine(logger_, "PipeWire: no stream for window", window, "(not connected)");
    return false;
  }
  {
    std::lock_guard guard(streamsMutex_);
    if (streams_.count(window)) {
      logLine(logger_, "PipeWire: window", window, "has a stream already");
      return false;
    }
  }
  auto stream = std::make_shared<Stream>(*this, window, nodeId);
  stream->firstBufferTimer = pw_loop_add_timer(
      pw_thread_loop_get_loop(loop_.get()),
      [](void* data, std::uint64_t) {
        auto* s = static_cast<Stream*>(data);
        s->owner.onFirstBufferTimeout(*s);
      },
      stream.get());
  if (!stream->firstBufferTimer || !openStream(*stream)) {
    destroyStream(*stream);
    return false;
  }
  // After a round trip, the registry tells whether the node exists.
  stream->check = Stream::Check::node;
  stream->checkSeq = pw_core_sync(core_, PW_ID_CORE, 0);
  {
    std::lock_guard guard(streamsMutex_);
    streams_.emplace(window, stream);
  }
  logLine(logger_, "PipeWire: window", window, "reads node", nodeId);
  return true;
}

bool PipeWireCapturer::openStream(Stream& stream) {
  pw_properties* properties = pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY, "Capture",
                                                PW_KEY_MEDIA_ROLE, "Screen", PW_KEY_NODE_DONT_RECONNECT, "true",
                                                nullptr);
  const std::string name = "orvo-window-" + std::to_string(stream.window);
  stream.stream = pw_stream_new(core_, name.c_str(), properties);
  if (!stream.stream) {
    logLine(logger_, "PipeWire: cannot make a stream for window", stream.window, ":", std::strerror(errno));
    return false;
  }
  pw_stream_add_listener(stream.stream, &stream.streamListener, &Callbacks::stream, &stream);
  std::uint8_t buffer[1024];
  spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
  const spa_pod* params[] = {buildEnumFormat(builder)};
  // Without DONT_RECONNECT the session manager links a stream whose node is missing to
  // some other video source: another window's pictures.
  const auto flags = static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS |
                                                  PW_STREAM_FLAG_DONT_RECONNECT);
  const int result = pw_stream_connect(stream.stream, PW_DIRECTION_INPUT, stream.nodeId, flags, params, 1);
  if (result < 0) {
    logLine(logger_, "PipeWire: cannot connect window", stream.window, "to node", stream.nodeId, ":",
            std::strerror(-result));
    closeStream(stream);
    return false;
  }
  return true;
}

void PipeWireCapturer::closeStream(Stream& stream) {
  armFirstBufferTimer(stream, false);
  stream.negotiated = false;
  if (stream.stream) {
    spa_hook_remove(&stream.streamListener);
    pw_stream_destroy(stream.stream);
    stream.stream = nullptr;
  }
}

void PipeWireCapturer::armFirstBufferTimer(Stream& stream, bool on) {
  if (!stream.firstBufferTimer) return;
  timespec value{on ? firstBufferTimeoutNanoseconds / 1'000'000'000 : 0,
                 on ? firstBufferTimeoutNanoseconds % 1'000'000'000 : 0};
  timespec interval{0, 0};
  pw_loop_update_timer(pw_thread_loop_get_loop(loop_.get()), stream.firstBufferTimer, &value, &interval, false);
}

void PipeWireCapturer::onFirstBufferTimeout(Stream& stream) {
  if (stream.removing || stream.ended || stream.bufferSinceStreaming) return;
  if (stream.reconnects >= maxReconnects) {
    logLine(logger_, "PipeWire: window", stream.window, "still has no buffer from node", stream.nodeId,
            "after", maxReconnects, "new links");
    return;
  }
  ++stream.reconnects;
  logLine(logger_, "PipeWire: window", stream.window, "streams without a buffer from node", stream.nodeId,
          ": linking it afresh");
  closeStream(stream);
  if (!openStream(stream)) endStream(stream, "cannot link node " + std::to_string(stream.nodeId) + " again");
}

void PipeWireCapturer::removeStream(std::uint32_t window) {
  if (pw_thread_loop_in_thread(loop_.get())) {
    logLine(logger_, "PipeWire: a stream cannot be removed from the PipeWire thread (window", window, ")");
    return;
  }
  LoopLock lock(loop_.get());
  std::shared_ptr<Stream> stream;
  {
    std::lock_guard guard(streamsMutex_);
    auto found = streams_.find(window);
    if (found == streams_.end()) return;
    stream = std::move(found->second);
    streams_.erase(found);
  }
  destroyStream(*stream);
  // The capture queue lets go of its pictures on its next call.
  stream->removed = true;
}

void PipeWireCapturer::destroyStream(Stream& stream) {
  stream.removing = true;
  if (stream.node) {
    spa_hook_remove(&stream.nodeListener);
    pw_proxy_destroy(stream.node);
    stream.node = nullptr;
  }
  closeStream(stream);
  if (stream.firstBufferTimer) {
    pw_loop_destroy_source(pw_thread_loop_get_loop(loop_.get()), stream.firstBufferTimer);
    stream.firstBufferTimer = nullptr;
  }
}

std::optional<std::pair<int, int>> PipeWireCapturer::pictureSize(std::uint32_t window) const {
  std::shared_ptr<Stream> stream;
  {
    std::lock_guard guard(streamsMutex_);
    auto found = streams_.find(window);
    if (found == streams_.end()) return std::nullopt;
    stream = found->second;
  }
  return stream->pictures.size();
}

std::uint64_t PipeWireCapturer::picturesReceived(std::uint32_t window) const {
  std::shared_ptr<Stream> stream;
  {
    std::lock_guard guard(streamsMutex_);
    auto found = streams_.find(window);
    if (found == streams_.end()) return 0;
    stream = found->second;
  }
  return stream->pictures.published();
}

std::shared_ptr<PipeWireCapturer::Stream> PipeWireCapturer::streamForCapture(std::uint32_t window) {
  // Pictures of streams removed since the previous call were valid until now.
  for (auto it = held_.begin(); it != held_.end();) {
    it = it->second->removed ? held_.erase(it) : std::next(it);
  }
  std::shared_ptr<Stream> stream;
  {
    std::lock_guard guard(streamsMutex_);
    auto found = streams_.find(window);
    if (found != streams_.end()) stream = found->second;
  }
  if (stream) {
    held_[window] = stream;
  } else {
    held_.erase(window);
  }
  return stream;
}

std::optional<ImageView> PipeWireCapturer::captureWindow(std::uint32_t window, const std::optional<Rect>&,
                                                         CaptureMode) {
  auto stream = streamForCapture(window);
  if (!stream) return std::nullopt;
  return stream->pictures.takeNewest();
}

PictureChanges PipeWireCapturer::takeChanges(std::uint32_t window, const std::optional<Rect>&, CaptureMode) {
  auto stream = streamForCapture(window);
  if (!stream) return PictureChanges{};
  return stream->pictures.takeChanges();
}

std::optional<ImageView> PipeWireCapturer::captureRows(std::uint32_t window, const std::optional<Rect>&,
                                                       CaptureMode, const std::vector<RowSpan>&) {
  auto stream = streamForCapture(window);
  if (!stream) return std::nullopt;
  return stream->pictures.current();
}

// PipeWire thread from here on.

void PipeWireCapturer::onCoreDone(std::uint32_t id, int seq) {
  if (id != PW_ID_CORE) return;
  if (!started_ && seq == startSeq_) {
    started_ = true;
    pw_thread_loop_signal(loop_.get(), false);
    return;
  }
  std::vector<std::shared_ptr<Stream>> due;
  {
    std::lock_guard guard(streamsMutex_);
    for (auto& [window, stream] : streams_) {
      if (stream->check != Stream::Check::none && stream->checkSeq == seq) due.push_back(stream);
    }
  }
  for (auto& stream : due) {
    if (stream->check == Stream::Check::node) {
      checkNode(*stream);
    } else {
      checkOfferedFormats(*stream);
    }
  }
}

void PipeWireCapturer::checkNode(Stream& stream) {
  stream.check = Stream::Check::none;
  if (stream.ended) return;
  if (!nodes_.count(stream.nodeId)) {
    endStream(stream, "node " + std::to_string(stream.nodeId) + " is not there");
    return;
  }
  // Ask the node what it offers: a stream whose formats do not meet ours would otherwise
  // wait unlinked forever, silently.
  stream.node = static_cast<pw_proxy*>(
      pw_registry_bind(registry_, stream.nodeId, PW_TYPE_INTERFACE_Node, PW_VERSION_NODE, 0));
  if (!stream.node) return;
  pw_node_add_listener(reinterpret_cast<pw_node*>(stream.node), &stream.nodeListener, &Callbacks::node, &stream);
  pw_node_enum_params(reinterpret_cast<pw_node*>(stream.node), 0, SPA_PARAM_EnumFormat, 0, UINT32_MAX, nullptr);
  stream.check = Stream::Check::formats;
  stream.checkSeq = pw_core_sync(core_, PW_ID_CORE, 0);
}

void PipeWireCapturer::onNodeParam(Stream& stream, std::uint32_t id, const spa_pod* param) {
  if (id != SPA_PARAM_EnumFormat || !param) return;
  addOfferedFormats(param, stream.offeredFormats);
}

void PipeWireCapturer::checkOfferedFormats(Stream& stream) {
  stream.check = Stream::Check::none;
  if (stream.node) {
    spa_hook_remove(&stream.nodeListener);
    pw_proxy_destroy(stream.node);
    stream.node = nullptr;
  }
  std::vector<std::uint32_t> offered;
  offered.swap(stream.offeredFormats);
  // A node that offers nothing readable here (no raw video, or no answer) is left to the
  // negotiation, which reports the format it settles on.
  if (stream.ended || offered.empty()) return;
  if (std::any_of(offered.begin(), offered.end(), [](std::uint32_t f) { return orderOf(f).has_value(); })) return;
  std::string names;
  for (std::uint32_t format : offered) names += (names.empty() ? "" : ", ") + formatName(format);
  endStream(stream, "unsupported format " + names + " (the host reads BGRx, BGRA, RGBx, RGBA)");
}

void PipeWireCapturer::onCoreError(std::uint32_t id, int, int res, const char* message) {
  const std::string text = message ? message : "unknown error";
  logLine(logger_, "PipeWire: error on object", id, ":", text, "(" + std::string(std::strerror(-res)) + ")");
  // -EPIPE on the core is the connection going away; other errors concern one object (a
  // stream reports its own through its state).
  if (id == PW_ID_CORE && res == -EPIPE) loseConnection(text);
}

void PipeWireCapturer::loseConnection(const std::string& reason) {
  if (!connected_) return;
  connected_ = false;
  if (!started_) {
    startError_ = reason;
    pw_thread_loop_signal(loop_.get(), false);
    return;
  }
  std::vector<std::shared_ptr<Stream>> streams;
  {
    std::lock_guard guard(streamsMutex_);
    for (auto& [window, stream] : streams_) streams.push_back(stream);
  }
  for (auto& stream : streams) {
    stream->ended = true;
    stream->pictures.end();
  }
  logLine(logger_, "PipeWire: connection lost:", reason);
  if (events_.disconnected) events_.disconnected(reason);
}

void PipeWireCapturer::onGlobal(std::uint32_t id, const char* type) {
  if (type && std::strcmp(type, PW_TYPE_INTERFACE_Node) == 0) nodes_.insert(id);
}

void PipeWireCapturer::onGlobalRemove(std::uint32_t id) {
  if (!nodes_.erase(id)) return;
  std::vector<std::shared_ptr<Stream>> gone;
  {
    std::lock_guard guard(streamsMutex_);
    for (auto& [window, stream] : streams_) {
      if (stream->nodeId == id) gone.push_back(stream);
    }
  }
  for (auto& stream : gone) endStream(*stream, "node " + std::to_string(id) + " went away");
}

void PipeWireCapturer::onStreamState(Stream& stream, int, int state, const char* error) {
  if (stream.removing) return;
  if (state == PW_STREAM_STATE_ERROR) {
    endStream(stream, std::string("stream failed: ") + (error ? error : "unknown error"));
  } else if (state == PW_STREAM_STATE_UNCONNECTED) {
    endStream(stream, "stream disconnected");
  } else if (state == PW_STREAM_STATE_STREAMING) {
    stream.bufferSinceStreaming = false;
    armFirstBufferTimer(stream, true);
    // A buffer sent before this node ran in the graph waits on the link until the driver
    // runs the graph again: ask it to (RequestProcess). A driver that does not honour the
    // request loses nothing.
    pw_stream_trigger_process(stream.stream);
  } else {
    armFirstBufferTimer(stream, false);
  }
}

void PipeWireCapturer::onStreamParam(Stream& stream, std::uint32_t id, const spa_pod* param) {
  if (id != SPA_PARAM_Format) return;
  stream.negotiated = false;
  if (!param || stream.ended) return;
  std::uint32_t mediaType = 0;
  std::uint32_t mediaSubtype = 0;
  if (spa_format_parse(param, &mediaType, &mediaSubtype) < 0 || mediaType != SPA_MEDIA_TYPE_video ||
      mediaSubtype != SPA_MEDIA_SUBTYPE_raw) {
    endStream(stream, "unsupported format (not raw video)");
    return;
  }
  spa_video_info_raw info{};
  if (spa_format_video_raw_parse(param, &info) < 0) {
    endStream(stream, "unsupported format (unreadable)");
    return;
  }
  const auto order = orderOf(info.format);
  if (!order) {
    endStream(stream, "unsupported format " + formatName(info.format));
    return;
  }
  if (spa_pod_find_prop(param, nullptr, SPA_FORMAT_VIDEO_modifier)) {
    endStream(stream, "unsupported format " + formatName(info.format) + " in DMA buffers");
    return;
  }
  const std::int64_t width = info.size.width;
  const std::int64_t height = info.size.height;
  if (width < 1 || height < 1 || width > maxPictureSide || height > maxPictureSide ||
      width * height > maxPicturePixels) {
    endStream(stream, "unsupported size " + std::to_string(width) + "x" + std::to_string(height));
    return;
  }
  stream.width = static_cast<int>(width);
  stream.height = static_cast<int>(height);
  stream.order = *order;
  stream.negotiated = true;
  // The first picture in the new format changes everything.
  stream.lastCrop.reset();

  std::uint8_t buffer[2048];
  spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
  auto params = buildBufferParams(builder);
  pw_stream_update_params(stream.stream, params.data(), static_cast<std::uint32_t>(params.size()));
}

void PipeWireCapturer::onProcess(Stream& stream) {
  pw_buffer* newest = nullptr;
  BufferPlacement placement;
  stream.batch.everything = false;
  stream.batch.rows.clear();
  while (pw_buffer* buffer = pw_stream_dequeue_buffer(stream.stream)) {
    if (!stream.bufferSinceStreaming) {
      stream.bufferSinceStreaming = true;
      stream.reconnects = 0;
      armFirstBufferTimer(stream, false);
    }
    std::string_view why;
    std::optional<BufferPlacement> placed;
    spa_buffer* spaBuffer = buffer->buffer;
    if (!stream.negotiated || stream.ended) {
      why = "";
    } else if (!spaBuffer || spaBuffer->n_datas < 1 || !spaBuffer->datas[0].chunk) {
      why = "without data";
    } else if (spaBuffer->datas[0].type != SPA_DATA_MemFd && spaBuffer->datas[0].type != SPA_DATA_MemPtr) {
      why = "not in shared memory";
    } else {
      const spa_data& data = spaBuffer->datas[0];
      // The chunk and the metadata lie in memory the producer shares: each is read once.
      const spa_chunk chunk = *data.chunk;
      const auto* header =
          static_cast<const spa_meta_header*>(spa_buffer_find_meta_data(spaBuffer, SPA_META_Header, sizeof(spa_meta_header)));
      const bool headerCorrupted = header && (header->flags & SPA_META_HEADER_FLAG_CORRUPTED);
      std::optional<BufferRegion> crop;
      if (const auto* meta = static_cast<const spa_meta_region*>(
              spa_buffer_find_meta_data(spaBuffer, SPA_META_VideoCrop, sizeof(spa_meta_region)))) {
        const spa_region region = meta->region;
        crop = BufferRegion{region.position.x, region.position.y, region.size.width, region.size.height};
      }
      placed = placePicture(BufferMemory{static_cast<const std::uint8_t*>(data.data), data.maxsize},
                            BufferChunk{chunk.offset, chunk.size, chunk.stride,
                                        headerCorrupted || (chunk.flags & SPA_CHUNK_FLAG_CORRUPTED) != 0},
                            stream.width, stream.height, crop, why);
    }
    if (!placed) {
      if (!why.empty() && std::find(stream.loggedSkips.begin(), stream.loggedSkips.end(), why) == stream.loggedSkips.end()) {
        stream.loggedSkips.emplace_back(why);
        logLine(logger_, "PipeWire: window", stream.window, "skips buffers:", std::string(why));
      }
      pw_stream_queue_buffer(stream.stream, buffer);
      continue;
    }
    // The damage of every buffer since the previous picture counts: an older buffer's
    // changes are in the newest one too.
    if (stream.lastCrop != placed->crop) {
      stream.batch.everything = true;
      stream.batch.rows.clear();
    }
    stream.lastCrop = placed->crop;
    if (spa_meta* damage = spa_buffer_find_meta(spaBuffer, SPA_META_VideoDamage)) {
      const auto* region = static_cast<const spa_meta_region*>(damage->data);
      const std::size_t count = damage->size / sizeof(spa_meta_region);
      for (std::size_t i = 0; i < count; ++i) {
        const spa_region r = region[i].region;
        // A region of zero size ends the list.
        if (r.size.width == 0 || r.size.height == 0) break;
        addDamage(stream.batch, placed->crop, BufferRegion{r.position.x, r.position.y, r.size.width, r.size.height});
      }
    } else {
      stream.batch.everything = true;
      stream.batch.rows.clear();
    }
    if (newest) pw_stream_queue_buffer(stream.stream, newest);
    newest = buffer;
    placement = *placed;
  }
  if (!newest) return;
  Picture& picture = stream.pictures.beginWrite();
  copyPicture(placement, stream.order, picture);
  const std::pair size{picture.width, picture.height};
  pw_stream_queue_buffer(stream.stream, newest);
  stream.pictures.publish(stream.batch);
  if (stream.reportedSize != size) {
    stream.reportedSize = size;
    if (events_.sizeChanged) events_.sizeChanged(stream.window, size.first, size.second);
  }
}

void PipeWireCapturer::endStream(Stream& stream, const std::string& reason) {
  if (stream.ended) return;
  stream.ended = true;
  stream.pictures.end();
  logLine(logger_, "PipeWire: stream of window", stream.window, "ended:", reason);
  if (events_.ended) events_.ended(stream.window, reason);
}

}  // namespace orvo::platform::pipewire
