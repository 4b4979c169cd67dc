// A minimal Node-API module whose delay-import descriptor names "NODE.EXE" in upper case,
// linked with the addon's own binding hook: the hook must match the name without regard
// to case and bind the same way as for "node.exe".

#include <node_api.h>

NAPI_MODULE_INIT() {
  napi_value probe = nullptr;
  if (napi_create_function(env, "probe", NAPI_AUTO_LENGTH, nullptr, nullptr, &probe) != napi_ok ||
      napi_set_named_property(env, exports, "probe", probe) != napi_ok) {
    return nullptr;
  }
  return exports;
}
