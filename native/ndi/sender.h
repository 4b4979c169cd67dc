// The one NDI sender of the process and the frames handed to it.
#pragma once

#include <node_api.h>

#include <cstddef>
#include <cstdint>
#include <string>

struct SenderSettings {
  std::string name;  // UTF-8
  int32_t width;
  int32_t height;
  int32_t rate_numerator;
  int32_t rate_denominator;
  std::string format;  // "RGBA" or "UYVY"; anything else is refused
};

bool IsSenderRunning();

// Validates the settings and creates the sender; true when a sender exists afterwards.
// Callers check IsSenderRunning first: a running sender keeps its settings.
bool StartSender(const SenderSettings& settings);

// True when frames can be handed over: a sender exists and the runtime can send video.
bool CanSendFrames();

// Hands one whole frame to the runtime without copying it. `buffer` is the script object
// that owns `data`; with asynchronous sending it is held until this environment's next
// frame is accepted, it stops the sender, or it is torn down.
bool SendFrame(napi_env env, napi_value buffer, uint8_t* data, size_t byte_length);

// Flushes the runtime and destroys the sender, if one exists, and releases the calling
// environment's held buffer.
void StopSender(napi_env env);
