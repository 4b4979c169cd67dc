// quorvex.node: registration and the six script-facing functions.
//
// Each function checks its arguments first, in the documented order, then hands the work
// to the runtime loader, the sender or the unmasker. Misuse throws a TypeError or
// RangeError with a fixed message; operational failures answer false.

#include <napi.h>

#include <cstdint>

#include "ndi_runtime.h"
#include "sender.h"
#include "unmask.h"

namespace {

const char kStartUsage[] = "start(name, width, height, fpsN?, fpsD?, format?)";
const char kSendFrameUsage[] = "sendFrame(buffer)";
const char kUnmaskUsage[] = "unmaskFrame(buffer, mask)";
const char kMaskLength[] = "mask must contain exactly 4 bytes";

size_t ElementSize(napi_typedarray_type type) {
  switch (type) {
    case napi_int8_array:
    case napi_uint8_array:
    case napi_uint8_clamped_array:
      return 1;
    case napi_int16_array:
    case napi_uint16_array:
      return 2;
    case napi_int32_array:
    case napi_uint32_array:
    case napi_float32_array:
      return 4;
    case napi_float64_array:
    case napi_bigint64_array:
    case napi_biguint64_array:
      return 8;
    default:
      return 0;
  }
}

// Reads the bytes behind a buffer argument through its typed-array view. A value that
// passes the buffer test but is no typed array (a DataView) fails the query: that
// failure becomes the call's pending exception and the result is false.
bool ReadBufferView(napi_env env, napi_value value, uint8_t** data, size_t* byte_length) {
  napi_typedarray_type type;
  size_t count = 0;
  void* first = nullptr;
  if (napi_get_typedarray_info(env, value, &type, &count, &first, nullptr, nullptr) != napi_ok) {
    Napi::Error::New(env).ThrowAsJavaScriptException();
    return false;
  }
  *data = static_cast<uint8_t*>(first);
  *byte_length = count * ElementSize(type);
  return true;
}

Napi::Value IsAvailable(const Napi::CallbackInfo& info) {
  return Napi::Boolean::New(info.Env(), EnsureNdiRuntime());
}

Napi::Value Start(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  if (!EnsureNdiRuntime()) return Napi::Boolean::New(env, false);
  if (IsSenderRunning()) return Napi::Boolean::New(env, true);
  if (info.Length() < 3 || !info[0].IsString() || !info[1].IsNumber() || !info[2].IsNumber()) {
    Napi::TypeError::New(env, kStartUsage).ThrowAsJavaScriptException();
    return Napi::Boolean::New(env, false);
  }
  SenderSettings settings;
  settings.name = info[0].As<Napi::String>().Utf8Value();
  settings.width = info[1].As<Napi::Number>().Int32Value();
  settings.height = info[2].As<Napi::Number>().Int32Value();
  // Optional arguments of another type (undefined, null, a string) take their defaults.
  settings.rate_numerator =
      info.Length() >= 4 && info[3].IsNumber() ? info[3].As<Napi::Number>().Int32Value() : 30;
  settings.rate_denominator =
      info.Length() >= 5 && info[4].IsNumber() ? info[4].As<Napi::Number>().Int32Value() : 1;
  settings.format =
      info.Length() >= 6 && info[5].IsString() ? info[5].As<Napi::String>().Utf8Value() : "RGBA";
  return Napi::Boolean::New(env, StartSender(settings));
}

Napi::Value SendFrameToRuntime(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  if (!CanSendFrames()) return Napi::Boolean::New(env, false);
  if (info.Length() < 1 || !info[0].IsBuffer()) {
    Napi::TypeError::New(env, kSendFrameUsage).ThrowAsJavaScriptException();
    return Napi::Boolean::New(env, false);
  }
  uint8_t* data = nullptr;
  size_t byte_length = 0;
  if (!ReadBufferView(env, info[0], &data, &byte_length)) return Napi::Boolean::New(env, false);
  return Napi::Boolean::New(env, SendFrame(env, info[0], data, byte_length));
}

Napi::Value Stop(const Napi::CallbackInfo& info) {
  StopSender(info.Env());
  return Napi::Boolean::New(info.Env(), true);
}

Napi::Value IsRunning(const Napi::CallbackInfo& info) {
  return Napi::Boolean::New(info.Env(), IsSenderRunning());
}

Napi::Value UnmaskFrame(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  if (info.Length() < 2 || !info[0].IsBuffer() || !info[1].IsBuffer()) {
    Napi::TypeError::New(env, kUnmaskUsage).ThrowAsJavaScriptException();
    return env.Undefined();
  }
  uint8_t* data = nullptr;
  size_t length = 0;
  uint8_t* mask = nullptr;
  size_t mask_length = 0;
  if (!ReadBufferView(env, info[0], &data, &length) ||
      !ReadBufferView(env, info[1], &mask, &mask_length)) {
    return env.Undefined();
  }
  if (mask_length != 4) {
    Napi::RangeError::New(env, kMaskLength).ThrowAsJavaScriptException();
    return env.Undefined();
  }
  UnmaskInPlace(data, length, mask);
  return info[0];
}

Napi::Object Init(Napi::Env env, Napi::Object exports) {
  // Anonymous functions, set in this order; nothing else happens at load.
  exports.Set("isAvailable", Napi::Function::New(env, IsAvailable));
  exports.Set("start", Napi::Function::New(env, Start));
  exports.Set("sendFrame", Napi::Function::New(env, SendFrameToRuntime));
  exports.Set("stop", Napi::Function::New(env, Stop));
  exports.Set("isRunning", Napi::Function::New(env, IsRunning));
  exports.Set("unmaskFrame", Napi::Function::New(env, UnmaskFrame));
  return exports;
}

}  // namespace

NODE_API_MODULE(quorvex, Init)
