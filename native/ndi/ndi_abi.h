// The NDI runtime's C ABI, as far as the addon uses it: x64, C linkage, default calling
// convention, natural alignment.
#pragma once

#include <cstdint>

extern "C" {

struct NDIlib_send_create_t {
  const char* p_ndi_name;
  const char* p_groups;
  bool clock_video;
  bool clock_audio;
};

struct NDIlib_video_frame_v2_t {
  int xres;
  int yres;
  int32_t FourCC;  // a 32-bit enum in the runtime's headers
  int frame_rate_N;
  int frame_rate_D;
  float picture_aspect_ratio;
  int32_t frame_format_type;  // a 32-bit enum; 1 is progressive
  int64_t timecode;
  uint8_t* p_data;
  union {
    int line_stride_in_bytes;
    int data_size_in_bytes;
  };
  const char* p_metadata;
  int64_t timestamp;
};

typedef bool (*NDIlib_initialize_fn)(void);
typedef void* (*NDIlib_send_create_fn)(const NDIlib_send_create_t*);
typedef void (*NDIlib_send_destroy_fn)(void*);
typedef void (*NDIlib_send_send_video_fn)(void*, const NDIlib_video_frame_v2_t*);

}  // extern "C"

static_assert(sizeof(NDIlib_send_create_t) == 24, "NDIlib_send_create_t layout");
static_assert(sizeof(NDIlib_video_frame_v2_t) == 72, "NDIlib_video_frame_v2_t layout");
static_assert(offsetof(NDIlib_video_frame_v2_t, timecode) == 32, "timecode offset");
static_assert(offsetof(NDIlib_video_frame_v2_t, p_data) == 40, "p_data offset");
static_assert(offsetof(NDIlib_video_frame_v2_t, line_stride_in_bytes) == 48, "stride offset");
static_assert(offsetof(NDIlib_video_frame_v2_t, p_metadata) == 56, "metadata offset");
