#include "platform/linux/pipewire/StreamParams.h"

#include <spa/buffer/meta.h>
#include <spa/debug/types.h>
#include <spa/param/video/format-utils.h>
#include <spa/param/video/type-info.h>

#include <algorithm>
#include <array>

namespace orvo::platform::pipewire {
namespace {

constexpr std::size_t cursorMetaSize(int width, int height) {
  return sizeof(spa_meta_cursor) + sizeof(spa_meta_bitmap) + static_cast<std::size_t>(width) * height * 4;
}

// One SPA_PARAM_Meta object: the metadata `type` in `size` bytes, or a range of sizes.
const spa_pod* buildMeta(spa_pod_builder& builder, std::uint32_t type, std::size_t size, std::size_t minSize = 0,
                         std::size_t maxSize = 0) {
  spa_pod_frame frame;
  spa_pod_builder_push_object(&builder, &frame, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta);
  spa_pod_builder_prop(&builder, SPA_PARAM_META_type, 0);
  spa_pod_builder_id(&builder, type);
  spa_pod_builder_prop(&builder, SPA_PARAM_META_size, 0);
  if (minSize == 0) {
    spa_pod_builder_int(&builder, static_cast<std::int32_t>(size));
  } else {
    spa_pod_frame choice;
    spa_pod_builder_push_choice(&builder, &choice, SPA_CHOICE_Range, 0);
    spa_pod_builder_int(&builder, static_cast<std::int32_t>(size));
    spa_pod_builder_int(&builder, static_cast<std::int32_t>(minSize));
    spa_pod_builder_int(&builder, static_cast<std::int32_t>(maxSize));
    spa_pod_builder_pop(&builder, &choice);
  }
  return static_cast<const spa_pod*>(spa_pod_builder_pop(&builder, &frame));
}

// Buffers in shared memory that PipeWire maps for us; one data block each.
const spa_pod* buildBuffers(spa_pod_builder& builder) {
  spa_pod_frame frame;
  spa_pod_builder_push_object(&builder, &frame, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers);
  spa_pod_builder_prop(&builder, SPA_PARAM_BUFFERS_buffers, 0);
  spa_pod_frame choice;
  spa_pod_builder_push_choice(&builder, &choice, SPA_CHOICE_Range, 0);
  spa_pod_builder_int(&builder, 8);
  spa_pod_builder_int(&builder, 2);
  spa_pod_builder_int(&builder, 16);
  spa_pod_builder_pop(&builder, &choice);
  spa_pod_builder_prop(&builder, SPA_PARAM_BUFFERS_blocks, 0);
  spa_pod_builder_int(&builder, 1);
  spa_pod_builder_prop(&builder, SPA_PARAM_BUFFERS_dataType, 0);
  spa_pod_builder_push_choice(&builder, &choice, SPA_CHOICE_Flags, 0);
  spa_pod_builder_int(&builder, (1 << SPA_DATA_MemFd) | (1 << SPA_DATA_MemPtr));
  spa_pod_builder_pop(&builder, &choice);
  return static_cast<const spa_pod*>(spa_pod_builder_pop(&builder, &frame));
}

}  // namespace

std::optional<ChannelOrder> orderOf(std::uint32_t format) {
  switch (format) {
    case SPA_VIDEO_FORMAT_BGRx:
    case SPA_VIDEO_FORMAT_BGRA:
      return ChannelOrder::bgr;
    case SPA_VIDEO_FORMAT_RGBx:
    case SPA_VIDEO_FORMAT_RGBA:
      return ChannelOrder::rgb;
    default:
      return std::nullopt;
  }
}

std::string formatName(std::uint32_t format) {
  const char* name = spa_debug_type_find_short_name(spa_type_video_format, format);
  return name ? name : "format " + std::to_string(format);
}

// What a stream asks for when it connects: raw video in one of the four formats the host
// reads, any size, any frame rate (0/1 is a variable rate, as GNOME offers).
const spa_pod* buildEnumFormat(spa_pod_builder& builder) {
  const spa_rectangle defaultSize{1280, 800};
  const spa_rectangle minSize{1, 1};
  const spa_rectangle maxSize{maxPictureSide, maxPictureSide};
  const spa_fraction defaultRate{30, 1};
  const spa_fraction minRate{0, 1};
  const spa_fraction maxRate{1000, 1};
  spa_pod_frame frame;
  spa_pod_builder_push_object(&builder, &frame, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat);
  spa_pod_builder_prop(&builder, SPA_FORMAT_mediaType, 0);
  spa_pod_builder_id(&builder, SPA_MEDIA_TYPE_video);
  spa_pod_builder_prop(&builder, SPA_FORMAT_mediaSubtype, 0);
  spa_pod_builder_id(&builder, SPA_MEDIA_SUBTYPE_raw);

  spa_pod_frame choice;
  spa_pod_builder_prop(&builder, SPA_FORMAT_VIDEO_format, 0);
  spa_pod_builder_push_choice(&builder, &choice, SPA_CHOICE_Enum, 0);
  // The first value is the preferred one, then every alternative.
  for (std::uint32_t format : {SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRA,
                               SPA_VIDEO_FORMAT_RGBx, SPA_VIDEO_FORMAT_RGBA}) {
    spa_pod_builder_id(&builder, format);
  }
  spa_pod_builder_pop(&builder, &choice);

  spa_pod_builder_prop(&builder, SPA_FORMAT_VIDEO_size, 0);
  spa_pod_builder_push_choice(&builder, &choice, SPA_CHOICE_Range, 0);
  spa_pod_builder_rectangle(&builder, defaultSize.width, defaultSize.height);
  spa_pod_builder_rectangle(&builder, minSize.width, minSize.height);
  spa_pod_builder_rectangle(&builder, maxSize.width, maxSize.height);
  spa_pod_builder_pop(&builder, &choice);

  spa_pod_builder_prop(&builder, SPA_FORMAT_VIDEO_framerate, 0);
  spa_pod_builder_push_choice(&builder, &choice, SPA_CHOICE_Range, 0);
  spa_pod_builder_fraction(&builder, defaultRate.num, defaultRate.denom);
  spa_pod_builder_fraction(&builder, minRate.num, minRate.denom);
  spa_pod_builder_fraction(&builder, maxRate.num, maxRate.denom);
  spa_pod_builder_pop(&builder, &choice);
  return static_cast<const spa_pod*>(spa_pod_builder_pop(&builder, &frame));
}

std::array<const spa_pod*, 5> buildBufferParams(spa_pod_builder& builder) {
  const std::size_t region = sizeof(spa_meta_region);
  return {
      buildBuffers(builder),
      buildMeta(builder, SPA_META_Header, sizeof(spa_meta_header)),
      buildMeta(builder, SPA_META_VideoCrop, region),
      buildMeta(builder, SPA_META_VideoDamage, region * 16, region, region * 32),
      // Asked for so that a producer never draws the cursor into the picture; never read.
      buildMeta(builder, SPA_META_Cursor, cursorMetaSize(64, 64), cursorMetaSize(1, 1), cursorMetaSize(512, 512)),
  };
}

void addOfferedFormats(const spa_pod* param, std::vector<std::uint32_t>& formats) {
  std::uint32_t mediaType = 0;
  std::uint32_t mediaSubtype = 0;
  if (spa_format_parse(param, &mediaType, &mediaSubtype) < 0) return;
  if (mediaType != SPA_MEDIA_TYPE_video || mediaSubtype != SPA_MEDIA_SUBTYPE_raw) return;
  const spa_pod_prop* prop = spa_pod_find_prop(param, nullptr, SPA_FORMAT_VIDEO_format);
  if (!prop) return;
  std::uint32_t count = 0;
  std::uint32_t choice = 0;
  const spa_pod* values = spa_pod_get_values(&prop->value, &count, &choice);
  if (!values || values->type != SPA_TYPE_Id || values->size < sizeof(std::uint32_t)) return;
  const auto* ids = static_cast<const std::uint32_t*>(SPA_POD_BODY_CONST(values));
  for (std::uint32_t i = 0; i < count && formats.size() < maxOfferedFormats; ++i) {
    if (std::find(formats.begin(), formats.end(), ids[i]) == formats.end()) formats.push_back(ids[i]);
  }
}

}  // namespace orvo::platform::pipewire
