// Fake Node-API entry points for the binding tests: the few that module registration
// calls, each recording its call in a journal. Compiled into the test host executable and
// into the fake libnode.dll, so each module keeps its own journal and a call shows which
// module the addon bound to. Any other Node-API function is absent on purpose: an
// unexpected call cannot bind and ends the host with the delay-load exception.

#include <cstddef>
#include <cstring>

namespace {

char g_journal[4096];
int g_values[64];
int g_next_value;

void Note(const char* call, const char* detail) {
  const size_t used = std::strlen(g_journal);
  const size_t room = sizeof g_journal - used;
  if (detail == nullptr) detail = "";
  const size_t need = std::strlen(call) + std::strlen(detail) + 3;
  if (need >= room) return;
  std::strcat(g_journal, call);
  if (*detail != '\0') {
    std::strcat(g_journal, ":");
    std::strcat(g_journal, detail);
  }
  std::strcat(g_journal, " ");
}

void* NewValue() { return &g_values[g_next_value++ % 64]; }

}  // namespace

extern "C" {

// The calls seen so far, each "function[:name] ".
__declspec(dllexport) const char* fake_napi_journal() { return g_journal; }

__declspec(dllexport) int napi_create_function(void*, const char* name, size_t, void*, void*,
                                               void** result) {
  Note("napi_create_function", name);
  *result = NewValue();
  return 0;  // napi_ok
}

__declspec(dllexport) int napi_add_finalizer(void*, void*, void*, void*, void*, void** result) {
  Note("napi_add_finalizer", nullptr);
  if (result != nullptr) *result = NewValue();
  return 0;
}

__declspec(dllexport) int napi_set_named_property(void*, void*, const char* name, void*) {
  Note("napi_set_named_property", name);
  return 0;
}

}  // extern "C"
