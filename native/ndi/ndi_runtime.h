// Finds, loads and initialises the NDI runtime library, once per process.
#pragma once

#include <windows.h>

#include "ndi_abi.h"

// Either all null (not loaded), or the module and the four required entry points are set
// and NDIlib_initialize has answered true. send_video_async may be null in both states.
struct NdiRuntimeEntries {
  HMODULE module;
  NDIlib_initialize_fn initialize;
  NDIlib_send_create_fn send_create;
  NDIlib_send_destroy_fn send_destroy;
  NDIlib_send_send_video_fn send_video;
  NDIlib_send_send_video_fn send_video_async;
};

extern NdiRuntimeEntries g_ndi_runtime;

// Loads Processing.NDI.Lib.x64.dll from the machine-wide runtime directory; null when the
// directory is missing or not absolute, or the load fails.
HMODULE LoadNdiRuntimeLibrary();

// True when the runtime is loaded and initialised after the call. Once loaded it stays
// loaded; until then every call makes a whole new attempt.
bool EnsureNdiRuntime();
