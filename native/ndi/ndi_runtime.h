// Finds, loads and initialises the NDI runtime library, once per process.
#pragma once

#include "ndi_abi.h"

// Either all null (not loaded), or the module and the four required entry points are set
// and NDIlib_initialize has answered true. send_video_async may be null in both states.
struct NdiRuntimeEntries {
  void* module;  // the library's HMODULE
  NDIlib_initialize_fn initialize;
  NDIlib_send_create_fn send_create;
  NDIlib_send_destroy_fn send_destroy;
  NDIlib_send_send_video_fn send_video;
  NDIlib_send_send_video_fn send_video_async;
};

// The table as it stands. Once EnsureNdiRuntime has answered true it never changes again, so
// a caller that saw it answer true (or saw a sender it made) may read it from any thread.
const NdiRuntimeEntries& NdiRuntime();

// True when the runtime is loaded and initialised after the call. Once loaded it stays
// loaded; until then every call makes a whole new attempt. Calls from several threads
// take turns.
bool EnsureNdiRuntime();
