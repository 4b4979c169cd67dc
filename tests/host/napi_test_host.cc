// A Windows host for Node-API modules that is not node.exe. It exports fake Node-API
// functions itself (fake_napi.cc), optionally loads a fake libnode.dll that exports the
// same ones, loads a module, asks its Node-API version and registers it, then checks from
// the journals which module served the module's calls.
// Usage: napi_test_host MODULE EXPECTED_PROPERTIES [LIBNODE_DLL]
//   EXPECTED_PROPERTIES: the property names registration must set, comma separated.

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

extern "C" const char* fake_napi_journal();

namespace {

using JournalFn = const char* (*)();
using VersionFn = int32_t (*)();
using RegisterFn = void* (*)(void* env, void* exports);

int g_failures = 0;

void Expect(bool ok, const char* what) {
  std::printf("%s %s\n", ok ? "ok  " : "FAIL", what);
  if (!ok) ++g_failures;
}

int CountOf(const std::string& journal, const std::string& call) {
  int count = 0;
  for (size_t at = journal.find(call); at != std::string::npos; at = journal.find(call, at + 1)) {
    ++count;
  }
  return count;
}

// "isAvailable,start" -> "napi_set_named_property:isAvailable napi_set_named_property:start "
std::string PropertySequence(const char* names) {
  std::string sequence;
  std::string list = names;
  for (size_t start = 0; start <= list.size();) {
    size_t end = list.find(',', start);
    if (end == std::string::npos) end = list.size();
    sequence += "napi_set_named_property:" + list.substr(start, end - start) + " ";
    start = end + 1;
  }
  return sequence;
}

std::string PropertiesSet(const std::string& journal) {
  std::string sequence;
  const std::string key = "napi_set_named_property:";
  for (size_t at = journal.find(key); at != std::string::npos; at = journal.find(key, at + 1)) {
    sequence += journal.substr(at, journal.find(' ', at) - at) + " ";
  }
  return sequence;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::printf("usage: napi_test_host MODULE EXPECTED_PROPERTIES [LIBNODE_DLL]\n");
    return 2;
  }
  const char* module_path = argv[1];
  const std::string want_properties = PropertySequence(argv[2]);
  const int property_count = CountOf(want_properties, "napi_set_named_property:");

  HMODULE libnode = nullptr;
  if (argc > 3) {
    libnode = ::LoadLibraryA(argv[3]);
    Expect(libnode != nullptr && libnode == ::GetModuleHandleA("libnode.dll"),
           "fake libnode.dll loaded under that name");
    if (libnode == nullptr) return 1;
  }

  HMODULE module = ::LoadLibraryA(module_path);
  std::printf("module %s, host executable exports Node-API, libnode.dll %s\n", module_path,
              libnode ? "loaded" : "not loaded");
  Expect(module != nullptr, "module loads into a process with no node.exe");
  if (module == nullptr) {
    std::printf("LoadLibrary error %lu\n", ::GetLastError());
    return 1;
  }
  Expect(std::strlen(fake_napi_journal()) == 0, "loading calls no Node-API function");

  auto version = reinterpret_cast<VersionFn>(
      reinterpret_cast<void*>(::GetProcAddress(module, "node_api_module_get_api_version_v1")));
  auto register_module = reinterpret_cast<RegisterFn>(
      reinterpret_cast<void*>(::GetProcAddress(module, "napi_register_module_v1")));
  Expect(version != nullptr && register_module != nullptr, "both module entry points exported");
  if (version == nullptr || register_module == nullptr) return 1;
  const int32_t api_version = version();
  std::printf("node_api_module_get_api_version_v1() = %d\n", api_version);
  Expect(api_version == 8, "module reports Node-API version 8");

  int env_stand_in = 0;
  int exports_stand_in = 0;
  void* result = register_module(&env_stand_in, &exports_stand_in);
  Expect(result == &exports_stand_in, "registration returns the exports object it was given");

  const std::string exe_journal = fake_napi_journal();
  std::string libnode_journal;
  if (libnode != nullptr) {
    auto journal = reinterpret_cast<JournalFn>(
        reinterpret_cast<void*>(::GetProcAddress(libnode, "fake_napi_journal")));
    if (journal != nullptr) libnode_journal = journal();
  }
  std::printf("executable served: %s\nlibnode.dll served: %s\n", exe_journal.c_str(),
              libnode_journal.c_str());

  const std::string& served = libnode ? libnode_journal : exe_journal;
  const std::string& idle = libnode ? exe_journal : libnode_journal;
  Expect(PropertiesSet(served) == want_properties,
         libnode ? "libnode.dll served every property set, in order"
                 : "the executable served every property set, in order");
  Expect(CountOf(served, "napi_create_function") == property_count,
         "one napi_create_function per property, from the same module");
  Expect(idle.empty(), libnode ? "the executable served nothing although it exports Node-API"
                               : "nothing else served a call");
  Expect(::GetModuleHandleA("node.exe") == nullptr, "no module named node.exe was loaded");

  std::printf("%s\n", g_failures ? "host binding: FAILED" : "host binding: bound as expected");
  return g_failures ? 1 : 0;
}
