/* Prints what a PipeWire video consumer gets from one node: the negotiated format, then one
 * line per buffer with its data type, chunk, header, crop, damage and cursor metadata.
 * A probe of the Wayland tests (portal_probe.py builds it with cc); not part of the host.
 *
 *   pw_meta_dump FD NODE SECONDS     FD: the portal's PipeWire remote (-1: the default one)
 *
 * Stream states and errors are printed too, so a node that goes away is seen. */

#include <pipewire/pipewire.h>
#include <spa/buffer/meta.h>
#include <spa/debug/types.h>
#include <spa/param/video/type-info.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>

#include <stdio.h>
#include <stdlib.h>

#define CURSOR_META_SIZE(w, h) \
  (sizeof(struct spa_meta_cursor) + sizeof(struct spa_meta_bitmap) + (w) * (h) * 4)

struct probe {
  struct pw_main_loop *loop;
  struct pw_stream *stream;
  struct spa_hook listener;
  int buffers;
};

static const char *data_type_name(uint32_t type) {
  switch (type) {
    case SPA_DATA_MemPtr: return "MemPtr";
    case SPA_DATA_MemFd: return "MemFd";
    case SPA_DATA_DmaBuf: return "DmaBuf";
    default: return "other";
  }
}

static void on_state(void *data, enum pw_stream_state old, enum pw_stream_state state, const char *error) {
  (void)data;
  printf("state %s -> %s%s%s\n", pw_stream_state_as_string(old), pw_stream_state_as_string(state),
         error ? " error: " : "", error ? error : "");
  fflush(stdout);
}

static void on_param_changed(void *data, uint32_t id, const struct spa_pod *param) {
  struct probe *probe = data;
  if (param == NULL || id != SPA_PARAM_Format) return;
  struct spa_video_info_raw info = {0};
  if (spa_format_video_raw_parse(param, &info) < 0) return;
  printf("format %s %ux%u modifier %llu\n", spa_debug_type_find_short_name(spa_type_video_format, info.format),
         info.size.width, info.size.height, (unsigned long long)info.modifier);

  uint8_t buffer[1024];
  struct spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof(buffer));
  const struct spa_pod *params[5];
  params[0] = spa_pod_builder_add_object(&b, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers,
      SPA_PARAM_BUFFERS_dataType, SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemPtr) | (1 << SPA_DATA_MemFd) |
                                                           (1 << SPA_DATA_DmaBuf)));
  params[1] = spa_pod_builder_add_object(&b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta,
      SPA_PARAM_META_type, SPA_POD_Id(SPA_META_Header), SPA_PARAM_META_size, SPA_POD_Int(sizeof(struct spa_meta_header)));
  params[2] = spa_pod_builder_add_object(&b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta,
      SPA_PARAM_META_type, SPA_POD_Id(SPA_META_VideoCrop), SPA_PARAM_META_size, SPA_POD_Int(sizeof(struct spa_meta_region)));
  params[3] = spa_pod_builder_add_object(&b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta,
      SPA_PARAM_META_type, SPA_POD_Id(SPA_META_VideoDamage),
      SPA_PARAM_META_size, SPA_POD_CHOICE_RANGE_Int(sizeof(struct spa_meta_region) * 16,
                                                    sizeof(struct spa_meta_region), sizeof(struct spa_meta_region) * 16));
  params[4] = spa_pod_builder_add_object(&b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta,
      SPA_PARAM_META_type, SPA_POD_Id(SPA_META_Cursor),
      SPA_PARAM_META_size, SPA_POD_CHOICE_RANGE_Int(CURSOR_META_SIZE(64, 64), CURSOR_META_SIZE(1, 1),
                                                    CURSOR_META_SIZE(1024, 1024)));
  pw_stream_update_params(probe->stream, params, 5);
}

static void on_process(void *data) {
  struct probe *probe = data;
  struct pw_buffer *b = pw_stream_dequeue_buffer(probe->stream);
  if (b == NULL) return;
  struct spa_buffer *buf = b->buffer;
  struct spa_data *d = &buf->datas[0];
  printf("buffer %d type %s chunk size %u stride %d offset %u flags %d", ++probe->buffers, data_type_name(d->type),
         d->chunk->size, d->chunk->stride, d->chunk->offset, d->chunk->flags);
  struct spa_meta_header *h = spa_buffer_find_meta_data(buf, SPA_META_Header, sizeof(*h));
  if (h) printf(" header flags 0x%x seq %llu", h->flags, (unsigned long long)h->seq);
  struct spa_meta_region *crop = spa_buffer_find_meta_data(buf, SPA_META_VideoCrop, sizeof(*crop));
  if (crop) printf(" crop %s %d,%d %ux%u", spa_meta_region_is_valid(crop) ? "valid" : "invalid",
                   crop->region.position.x, crop->region.position.y, crop->region.size.width, crop->region.size.height);
  struct spa_meta *damage = spa_buffer_find_meta(buf, SPA_META_VideoDamage);
  if (damage) {
    struct spa_meta_region *r;
    printf(" damage");
    spa_meta_for_each(r, damage) {
      if (!spa_meta_region_is_valid(r)) break;
      printf(" %d,%d %ux%u", r->region.position.x, r->region.position.y, r->region.size.width, r->region.size.height);
    }
  }
  struct spa_meta_cursor *cursor = spa_buffer_find_meta_data(buf, SPA_META_Cursor, sizeof(*cursor));
  if (cursor) printf(" cursor id %u at %d,%d", cursor->id, cursor->position.x, cursor->position.y);
  if (!h && !crop && !damage && !cursor) printf(" no metadata");
  printf("\n");
  fflush(stdout);
  pw_stream_queue_buffer(probe->stream, b);
}

static const struct pw_stream_events events = {
  PW_VERSION_STREAM_EVENTS,
  .state_changed = on_state,
  .param_changed = on_param_changed,
  .process = on_process,
};

static void on_timeout(void *data, uint64_t expirations) {
  (void)expirations;
  pw_main_loop_quit(((struct probe *)data)->loop);
}

int main(int argc, char **argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: %s FD NODE SECONDS\n", argv[0]);
    return 2;
  }
  int fd = atoi(argv[1]);
  uint32_t node = (uint32_t)strtoul(argv[2], NULL, 10);
  pw_init(&argc, &argv);
  struct probe probe = {0};
  probe.loop = pw_main_loop_new(NULL);
  struct pw_context *context = pw_context_new(pw_main_loop_get_loop(probe.loop), NULL, 0);
  struct pw_core *core = fd >= 0 ? pw_context_connect_fd(context, fd, NULL, 0) : pw_context_connect(context, NULL, 0);
  if (core == NULL) {
    perror("connect");
    return 1;
  }
  probe.stream = pw_stream_new(core, "orvo-meta-dump",
      pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY, "Capture", PW_KEY_MEDIA_ROLE, "Screen", NULL));
  pw_stream_add_listener(probe.stream, &probe.listener, &events, &probe);

  uint8_t buffer[1024];
  struct spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof(buffer));
  const struct spa_pod *params[1];
  params[0] = spa_pod_builder_add_object(&b, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat,
      SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video),
      SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw),
      SPA_FORMAT_VIDEO_format, SPA_POD_CHOICE_ENUM_Id(5, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRx,
                                                      SPA_VIDEO_FORMAT_BGRA, SPA_VIDEO_FORMAT_RGBx, SPA_VIDEO_FORMAT_RGBA),
      SPA_FORMAT_VIDEO_size, SPA_POD_CHOICE_RANGE_Rectangle(&SPA_RECTANGLE(1280, 800), &SPA_RECTANGLE(1, 1),
                                                            &SPA_RECTANGLE(8192, 8192)),
      SPA_FORMAT_VIDEO_framerate, SPA_POD_CHOICE_RANGE_Fraction(&SPA_FRACTION(0, 1), &SPA_FRACTION(0, 1),
                                                                &SPA_FRACTION(1000, 1)));
  pw_stream_connect(probe.stream, PW_DIRECTION_INPUT, node,
                    PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS, params, 1);

  struct spa_source *timer = pw_loop_add_timer(pw_main_loop_get_loop(probe.loop), on_timeout, &probe);
  struct timespec timeout = {.tv_sec = atoi(argv[3]), .tv_nsec = 0};
  pw_loop_update_timer(pw_main_loop_get_loop(probe.loop), timer, &timeout, NULL, false);
  pw_main_loop_run(probe.loop);

  printf("buffers %d\n", probe.buffers);
  pw_stream_destroy(probe.stream);
  pw_core_disconnect(core);
  pw_context_destroy(context);
  pw_main_loop_destroy(probe.loop);
  pw_deinit();
  return 0;
}
