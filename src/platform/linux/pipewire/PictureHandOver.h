#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "platform/WindowServer.h"

namespace orvo::platform::pipewire {

// A picture of a window: B, G, R, X bytes, rows of `width` × 4 bytes without padding.
struct Picture {
  std::vector<std::uint8_t> pixels;
  int width = 0;
  int height = 0;

  int stride() const { return width * 4; }
  ImageView view() const { return ImageView{pixels.data(), width, height, stride()}; }
  // Makes room for a picture of `width` × `height`. The memory is reused while the size
  // stays, and given back when a much smaller picture follows a large one.
  void reshape(int newWidth, int newHeight);
};

// Adds rows [top, bottom) to `changes`, keeping its rows sorted, disjoint and merged
// (touching spans become one). Past `maxChangedSpans` spans they collapse into one span
// from the first top to the last bottom: still correct, and bounded. Nothing to add when
// `changes` already says everything or the span is empty.
void addChangedRows(PictureChanges& changes, RowSpan rows);
// Adds everything `from` says to `to`.
void mergeChanges(PictureChanges& to, const PictureChanges& from);
constexpr std::size_t maxChangedSpans = 64;

// One window's pictures, handed over from the thread that writes them (the PipeWire
// thread) to the queue that reads them (the capture queue) without copying.
//
// Two pictures: the writer fills the *incoming* one, the reader uses the *current* one,
// and the reader swaps them when the incoming one holds a picture newer than the current.
// The mutex guards only that hand-over and the bookkeeping around it; no picture is ever
// written or read under it. The writer claims the incoming picture (beginWrite) before it
// writes and publishes it after: between the two the reader never swaps, so the writer
// never writes the picture the reader uses, and a picture that the reader did not take in
// time is simply written over (its changes stay counted).
//
// Changes are kept twice: those the writer published since the last hand-over, and those
// the reader took over since its last takeChanges. So a picture taken over by
// takeNewest() (a whole capture) without takeChanges still shows in the next
// takeChanges: changes are always those since the previous takeChanges.
class PictureHandOver {
 public:
  // Writer. The incoming picture, claimed: the reader will not take it until publish().
  Picture& beginWrite();
  // Writer. Hands the picture written since beginWrite() over as the newest, with its
  // changes since the previously published one (everything for the first).
  void publish(const PictureChanges& changes);

  // Reader. Takes over the newest picture when there is one and answers the changes since
  // the previous call: nothing when no newer picture came, `everything` while there has
  // never been a picture or once the stream ended.
  PictureChanges takeChanges();
  // Reader. Takes over the newest picture when there is one and returns the current
  // picture; nothing before the first picture and once the stream ended.
  std::optional<ImageView> takeNewest();
  // Reader. The current picture as it is; nothing before the first and once ended.
  std::optional<ImageView> current();

  // Any thread. The size of the newest picture, once there is one.
  std::optional<std::pair<int, int>> size() const;
  // Any thread. How many pictures were published.
  std::uint64_t published() const;
  // Any thread. From now on captures give nothing.
  void end();
  bool ended() const;

 private:
  // Under mutex_: swaps in the incoming picture when it is newer.
  void takeOverLocked();

  mutable std::mutex mutex_;
  Picture incoming_;  // the writer's, except while fresh_ (then the reader may take it)
  Picture current_;   // the reader's
  bool fresh_ = false;      // incoming_ holds a picture newer than current_
  bool hasCurrent_ = false;
  bool ended_ = false;
  std::optional<std::pair<int, int>> size_;
  std::uint64_t published_ = 0;
  PictureChanges publishedChanges_{false, {}};  // since the last hand-over
  PictureChanges takenChanges_{true, {}};       // since the reader's last takeChanges
};

}  // namespace orvo::platform::pipewire
