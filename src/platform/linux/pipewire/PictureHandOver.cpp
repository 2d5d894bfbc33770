#include "platform/linux/pipewire/PictureHandOver.h"

#include <algorithm>

namespace orvo::platform::pipewire {

void Picture::reshape(int newWidth, int newHeight) {
  const std::size_t bytes = static_cast<std::size_t>(newWidth) * static_cast<std::size_t>(newHeight) * 4;
  // A window that shrank a lot should not keep a screen's worth of memory.
  if (bytes < pixels.capacity() / 2) {
    std::vector<std::uint8_t>(bytes).swap(pixels);
  } else {
    pixels.resize(bytes);
  }
  width = newWidth;
  height = newHeight;
}

void addChangedRows(PictureChanges& changes, RowSpan rows) {
  if (changes.everything || rows.top >= rows.bottom) return;
  auto& spans = changes.rows;
  // The first span that ends at or after the new one's top may touch it.
  auto first = std::lower_bound(spans.begin(), spans.end(), rows.top,
                                [](const RowSpan& span, int top) { return span.bottom < top; });
  auto last = first;
  while (last != spans.end() && last->top <= rows.bottom) {
    rows.top = std::min(rows.top, last->top);
    rows.bottom = std::max(rows.bottom, last->bottom);
    ++last;
  }
  first = spans.erase(first, last);
  spans.insert(first, rows);
  if (spans.size() > maxChangedSpans) {
    const RowSpan all{spans.front().top, spans.back().bottom};
    spans.assign(1, all);
  }
}

void mergeChanges(PictureChanges& to, const PictureChanges& from) {
  if (to.everything) return;
  if (from.everything) {
    to.everything = true;
    to.rows.clear();
    return;
  }
  for (const RowSpan& span : from.rows) addChangedRows(to, span);
}

Picture& PictureHandOver::beginWrite() {
  std::lock_guard lock(mutex_);
  fresh_ = false;
  return incoming_;
}

void PictureHandOver::publish(const PictureChanges& changes) {
  std::lock_guard lock(mutex_);
  mergeChanges(publishedChanges_, changes);
  fresh_ = true;
  size_ = std::pair{incoming_.width, incoming_.height};
  ++published_;
}

void PictureHandOver::takeOverLocked() {
  if (!fresh_) return;
  std::swap(incoming_, current_);
  fresh_ = false;
  hasCurrent_ = true;
  mergeChanges(takenChanges_, publishedChanges_);
  publishedChanges_ = PictureChanges{false, {}};
}

PictureChanges PictureHandOver::takeChanges() {
  std::lock_guard lock(mutex_);
  if (ended_) return PictureChanges{};
  takeOverLocked();
  if (!hasCurrent_) return PictureChanges{};
  PictureChanges changes = std::move(takenChanges_);
  takenChanges_ = PictureChanges{false, {}};
  return changes;
}

std::optional<ImageView> PictureHandOver::takeNewest() {
  std::lock_guard lock(mutex_);
  if (ended_) return std::nullopt;
  takeOverLocked();
  if (!hasCurrent_) return std::nullopt;
  return current_.view();
}

std::optional<ImageView> PictureHandOver::current() {
  std::lock_guard lock(mutex_);
  if (ended_ || !hasCurrent_) return std::nullopt;
  return current_.view();
}

std::optional<std::pair<int, int>> PictureHandOver::size() const {
  std::lock_guard lock(mutex_);
  return size_;
}

std::uint64_t PictureHandOver::published() const {
  std::lock_guard lock(mutex_);
  return published_;
}

void PictureHandOver::end() {
  std::lock_guard lock(mutex_);
  ended_ = true;
}

bool PictureHandOver::ended() const {
  std::lock_guard lock(mutex_);
  return ended_;
}

}  // namespace orvo::platform::pipewire
