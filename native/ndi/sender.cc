// The one NDI sender of the process, shared by every Node.js environment that loads the
// module: the script thread's and one per worker thread, each calling on its own thread.
//
// An environment's Node-API may only be used on its own thread, and the runtime may still
// read the last asynchronous frame after sendFrame has returned. Hence:
// - one lock serialises the sender state and every call into the runtime's sender;
// - each environment that sends keeps its own held buffer, a reference that only its own
//   thread creates and deletes: at its next sendFrame, at stop, or at its teardown;
// - any asynchronous send or flush ends the runtime's reading of every earlier frame, so
//   a buffer left held by another environment is merely kept alive until that
//   environment's next call or teardown;
// - an environment torn down while the runtime may read its buffer flushes the runtime,
//   under the lock, before the reference goes, so the runtime never reads freed memory.
// With one script thread this is the plain path: an uncontended lock, one reference
// created and one deleted per frame.

#include "sender.h"

#include <atomic>
#include <climits>
#include <mutex>
#include <vector>

#include "ndi_runtime.h"

namespace {

const int32_t kFourCcUyvy = 0x59565955;  // 'U','Y','V','Y' in memory order
const int32_t kFourCcRgba = 0x41424752;  // 'R','G','B','A' in memory order
const int32_t kProgressive = 1;
const int64_t kSynthesiseTimecode = INT64_MAX;

// The last buffer an environment sent asynchronously; its reference is touched only on that
// environment's thread. The record lives exactly as long as the environment's teardown hook
// is registered: from its first asynchronous send to its teardown. It is deliberately no
// owner that deletes its reference when destroyed: the records live in process-wide state,
// destroyed at process exit after the environments, when Node-API may no longer be called.
struct HeldBuffer {
  napi_env env;
  napi_ref buffer;  // count 1, or null
};

struct SenderState {
  void* sender;
  int32_t width;
  int32_t height;
  int32_t rate_numerator;
  int32_t rate_denominator;
  int32_t fourcc;
  int32_t line_stride;
  int64_t frame_size;
  std::vector<HeldBuffer> held_buffers;
  napi_env held_buffer_env;  // whose held buffer the runtime may still read, or null
};

std::mutex g_lock;  // guards g_sender and every call on g_sender.sender
SenderState g_sender = {nullptr, 0, 0, 30, 1, kFourCcRgba, 0, 0, {}, nullptr};
// Whether a sender exists, written under the lock, so the first test of a frame takes no
// lock; SendFrame looks again under it.
std::atomic<bool> g_running{false};

void ReleaseHeldBufferAtTeardown(void* env);

HeldBuffer* FindHeldBuffer(napi_env env) {
  for (HeldBuffer& held : g_sender.held_buffers) {
    if (held.env == env) return &held;
  }
  return nullptr;
}

// The calling environment's record, made at its first asynchronous send together with the
// teardown hook that ends it; null when the hook cannot be registered.
HeldBuffer* HeldBufferOf(napi_env env) {
  HeldBuffer* held = FindHeldBuffer(env);
  if (held != nullptr) return held;
  if (napi_add_env_cleanup_hook(env, ReleaseHeldBufferAtTeardown, env) != napi_ok) return nullptr;
  g_sender.held_buffers.push_back(HeldBuffer{env, nullptr});
  return &g_sender.held_buffers.back();
}

// Lets go of the calling environment's own held buffer. Lock held; the runtime no longer
// reads it (flushed, or a later frame accepted).
void ReleaseOwnHeldBuffer(napi_env env) {
  HeldBuffer* held = FindHeldBuffer(env);
  if (held == nullptr || held->buffer == nullptr) return;
  napi_delete_reference(env, held->buffer);
  held->buffer = nullptr;
}

// Waits until the runtime no longer reads the last asynchronous frame. Lock held.
void FlushSender() {
  if (g_sender.sender != nullptr && NdiRuntime().send_video_async != nullptr) {
    NdiRuntime().send_video_async(g_sender.sender, nullptr);
  }
  g_sender.held_buffer_env = nullptr;
}

// Runs on the ending environment's own thread, while its memory still exists. The sender
// itself keeps running for the other environments.
void ReleaseHeldBufferAtTeardown(void* arg) {
  const napi_env env = static_cast<napi_env>(arg);
  std::lock_guard<std::mutex> hold(g_lock);
  if (g_sender.held_buffer_env == env) FlushSender();
  HeldBuffer* held = FindHeldBuffer(env);
  if (held == nullptr) return;
  if (held->buffer != nullptr) napi_delete_reference(env, held->buffer);
  std::vector<HeldBuffer>& records = g_sender.held_buffers;
  records.erase(records.begin() + (held - records.data()));
}

}  // namespace

bool IsSenderRunning() { return g_running.load(std::memory_order_acquire); }

// A sender exists only once the runtime is loaded, and send_video is then fixed.
bool CanSendFrames() { return IsSenderRunning() && NdiRuntime().send_video != nullptr; }

bool StartSender(const SenderSettings& settings) {
  std::lock_guard<std::mutex> hold(g_lock);
  // Another thread may have started one since the caller looked.
  if (g_sender.sender != nullptr) return true;
  // A refused start leaves the state as it was.
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

  g_sender.width = settings.width;
  g_sender.height = settings.height;
  g_sender.rate_numerator = settings.rate_numerator;
  g_sender.rate_denominator = settings.rate_denominator;
  g_sender.line_stride = static_cast<int32_t>(line_stride);
  g_sender.frame_size = line_stride * settings.height;
  g_sender.fourcc = fourcc;

  NDIlib_send_create_t create = {};
  create.p_ndi_name = settings.name.c_str();
  create.p_groups = nullptr;
  // The pace of sendFrame calls sets the real rate; the runtime must not throttle it.
  create.clock_video = false;
  create.clock_audio = false;
  g_sender.sender = NdiRuntime().send_create(&create);
  g_running.store(g_sender.sender != nullptr, std::memory_order_release);
  return g_sender.sender != nullptr;
}

bool SendFrame(napi_env env, napi_value buffer, uint8_t* data, size_t byte_length) {
  std::lock_guard<std::mutex> hold(g_lock);
  // Another thread may have stopped the sender since the caller looked.
  if (g_sender.sender == nullptr) return false;
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

  const NdiRuntimeEntries& runtime = NdiRuntime();
  if (runtime.send_video_async == nullptr) {
    runtime.send_video(g_sender.sender, &frame);
    return true;
  }
  HeldBuffer* held = HeldBufferOf(env);
  if (held == nullptr) return false;
  napi_ref reference = nullptr;
  if (napi_create_reference(env, buffer, 1, &reference) != napi_ok) return false;
  runtime.send_video_async(g_sender.sender, &frame);
  // The runtime reads the previous frame until it has accepted this one: only now may
  // this environment's earlier buffer go.
  if (held->buffer != nullptr) napi_delete_reference(env, held->buffer);
  held->buffer = reference;
  g_sender.held_buffer_env = env;
  return true;
}

void StopSender(napi_env env) {
  std::lock_guard<std::mutex> hold(g_lock);
  if (g_sender.sender != nullptr && NdiRuntime().send_destroy != nullptr) {
    // A null frame waits until the runtime no longer reads the last one.
    FlushSender();
    NdiRuntime().send_destroy(g_sender.sender);
    g_sender.sender = nullptr;
    g_running.store(false, std::memory_order_release);
  }
  // Buffers other environments still hold go on their own threads, later.
  ReleaseOwnHeldBuffer(env);
}
