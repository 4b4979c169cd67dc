#include "sender.h"

#include <climits>

#include "ndi_runtime.h"

namespace {

const int32_t kFourCcUyvy = 0x59565955;  // 'U','Y','V','Y' in memory order
const int32_t kFourCcRgba = 0x41424752;  // 'R','G','B','A' in memory order
const int32_t kProgressive = 1;
const int64_t kSynthesiseTimecode = INT64_MAX;

struct SenderState {
  void* sender;
  int32_t width;
  int32_t height;
  int32_t rate_numerator;
  int32_t rate_denominator;
  int32_t fourcc;
  int32_t line_stride;
  int64_t frame_size;
  napi_ref held_buffer;  // the buffer of the last asynchronous send, count 1
  napi_env held_buffer_env;
};

SenderState g_sender = {nullptr, 0, 0, 30, 1, kFourCcRgba, 0, 0, nullptr, nullptr};

void ReleaseHeldBufferAtTeardown(void* env);

// Lets go of the held buffer, and of the teardown watch on its environment.
void ReleaseHeldBuffer() {
  if (g_sender.held_buffer != nullptr && g_sender.held_buffer_env != nullptr) {
    napi_delete_reference(g_sender.held_buffer_env, g_sender.held_buffer);
    napi_remove_env_cleanup_hook(g_sender.held_buffer_env, ReleaseHeldBufferAtTeardown,
                                 g_sender.held_buffer_env);
  }
  g_sender.held_buffer = nullptr;
  g_sender.held_buffer_env = nullptr;
}

// The sender outlives environments, but the held buffer belongs to one: a worker that
// sent the last frame may end before stop(), and its memory goes with it. The runtime is
// flushed first, so it never reads freed memory, and the reference is deleted while its
// environment still exists. The sender itself keeps running.
void ReleaseHeldBufferAtTeardown(void* env) {
  if (g_sender.held_buffer_env != env) return;
  if (g_sender.sender != nullptr && g_ndi_runtime.send_video_async != nullptr) {
    g_ndi_runtime.send_video_async(g_sender.sender, nullptr);
  }
  napi_delete_reference(g_sender.held_buffer_env, g_sender.held_buffer);
  g_sender.held_buffer = nullptr;
  g_sender.held_buffer_env = nullptr;
}

}  // namespace

bool IsSenderRunning() { return g_sender.sender != nullptr; }

bool CanSendFrames() { return g_sender.sender != nullptr && g_ndi_runtime.send_video != nullptr; }

bool StartSender(const SenderSettings& settings) {
  g_sender.width = settings.width;
  g_sender.height = settings.height;
  g_sender.rate_numerator = settings.rate_numerator;
  g_sender.rate_denominator = settings.rate_denominator;
  if (settings.width < 2 || settings.height < 2 || settings.rate_numerator < 1 ||
      settings.rate_denominator < 1) {
    return false;
  }

  int64_t bytes_per_pixel;
  int32_t fourcc;
  if (settings.format == "UYVY" && settings.width % 2 == 0) {
    bytes_per_pixel = 2;
    fourcc = kFourCcUyvy;
  } else if (settings.format == "RGBA") {
    bytes_per_pixel = 4;
    fourcc = kFourCcRgba;
  } else {
    return false;
  }
  // The runtime takes the stride as a signed 32-bit value: a wider line cannot be described.
  const int64_t line_stride = settings.width * bytes_per_pixel;
  if (line_stride > INT32_MAX) return false;

  g_sender.line_stride = static_cast<int32_t>(line_stride);
  g_sender.frame_size = line_stride * settings.height;
  g_sender.fourcc = fourcc;

  NDIlib_send_create_t create = {};
  create.p_ndi_name = settings.name.c_str();
  create.p_groups = nullptr;
  // The pace of sendFrame calls sets the real rate; the runtime must not throttle it.
  create.clock_video = false;
  create.clock_audio = false;
  g_sender.sender = g_ndi_runtime.send_create(&create);
  return g_sender.sender != nullptr;
}

bool SendFrame(napi_env env, napi_value buffer, uint8_t* data, size_t byte_length) {
  if (static_cast<uint64_t>(g_sender.frame_size) != byte_length) return false;

  NDIlib_video_frame_v2_t frame = {};
  frame.xres = g_sender.width;
  frame.yres = g_sender.height;
  frame.FourCC = g_sender.fourcc;
  frame.frame_rate_N = g_sender.rate_numerator;
  frame.frame_rate_D = g_sender.rate_denominator;
  frame.picture_aspect_ratio = 0.0f;  // square pixels: the runtime derives it from the size
  frame.frame_format_type = kProgressive;
  frame.timecode = kSynthesiseTimecode;
  frame.p_data = data;
  frame.line_stride_in_bytes = g_sender.line_stride;
  frame.p_metadata = nullptr;
  frame.timestamp = 0;

  if (g_ndi_runtime.send_video_async == nullptr) {
    g_ndi_runtime.send_video(g_sender.sender, &frame);
    return true;
  }
  napi_ref reference = nullptr;
  if (napi_create_reference(env, buffer, 1, &reference) != napi_ok) return false;
  g_ndi_runtime.send_video_async(g_sender.sender, &frame);
  // The runtime reads the previous frame until it has accepted this one: only now may
  // that buffer go.
  if (g_sender.held_buffer_env == env) {
    napi_delete_reference(env, g_sender.held_buffer);
  } else {
    ReleaseHeldBuffer();
    napi_add_env_cleanup_hook(env, ReleaseHeldBufferAtTeardown, env);
  }
  g_sender.held_buffer = reference;
  g_sender.held_buffer_env = env;
  return true;
}

void StopSender() {
  if (g_sender.sender == nullptr || g_ndi_runtime.send_destroy == nullptr) return;
  if (g_ndi_runtime.send_video_async != nullptr) {
    // A null frame waits until the runtime no longer reads the last one.
    g_ndi_runtime.send_video_async(g_sender.sender, nullptr);
    ReleaseHeldBuffer();
  }
  g_ndi_runtime.send_destroy(g_sender.sender);
  g_sender.sender = nullptr;
}
