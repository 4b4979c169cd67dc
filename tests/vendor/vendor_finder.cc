// A finder on the vendor's NDI runtime: test equipment that lists the NDI sources it sees,
// as a receiver on the network would. Run it only inside the private namespace of
// tests/rig/vendor-netns (the runtime announces and queries by mDNS).
//
// Usage: kestovar-vendor-finder RUNTIME_DIR MS [TEXT...]
//   Loads RUNTIME_DIR\Processing.NDI.Lib.x64.dll and looks for MS milliseconds. Each source
//   it finds is printed once, as "found <ms> <name>\t<address>" in UTF-8, exactly as the
//   runtime gives the name. With TEXTs, it stops as soon as for each TEXT a source whose
//   name contains it is found. The last line is "finder end sources=<n> ms=<elapsed>".
//   Exit 0 (every TEXT found, or none given); 1 a TEXT not found in time; 2 the runtime did
//   not load.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <iterator>
#include <set>
#include <string>

extern "C" {

// The few vendor structures a finder needs, x64 and natural alignment, declared here.
struct NDIlib_find_create_t {
  bool show_local_sources;
  const char* p_groups;
  const char* p_extra_ips;
};

struct NDIlib_source_t {
  const char* p_ndi_name;
  const char* p_url_address;
};

typedef bool (*InitializeFn)(void);
typedef void* (*FindCreateFn)(const NDIlib_find_create_t*);
typedef bool (*FindWaitFn)(void*, uint32_t);
typedef const NDIlib_source_t* (*FindSourcesFn)(void*, uint32_t*);
typedef void (*FindDestroyFn)(void*);

}  // extern "C"

namespace {

std::string Utf8(const wchar_t* text) {
  const int n = ::WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  std::string out(n > 0 ? n - 1 : 0, '\0');
  if (n > 1) ::WideCharToMultiByte(CP_UTF8, 0, text, -1, &out[0], n, nullptr, nullptr);
  return out;
}

// Raw UTF-8 bytes, one WriteFile a line: the console code page must not touch them.
void Print(const std::string& line) {
  const std::string text = line + "\n";
  DWORD written = 0;
  ::WriteFile(::GetStdHandle(STD_OUTPUT_HANDLE), text.data(), static_cast<DWORD>(text.size()),
              &written, nullptr);
}

template <typename Fn>
Fn Entry(HMODULE module, const char* name) {
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) {
    Print("usage: kestovar-vendor-finder RUNTIME_DIR MS [TEXT...]");
    return 2;
  }
  const std::wstring dll = std::wstring(argv[1]) + L"\\Processing.NDI.Lib.x64.dll";
  const DWORD limit_ms = static_cast<DWORD>(_wtoi(argv[2]));
  std::set<std::string> wanted;
  for (int i = 3; i < argc; ++i) wanted.insert(Utf8(argv[i]));
  HMODULE runtime = ::LoadLibraryW(dll.c_str());
  if (runtime == nullptr) {
    Print("finder error: cannot load " + Utf8(dll.c_str()));
    return 2;
  }
  auto initialize = Entry<InitializeFn>(runtime, "NDIlib_initialize");
  auto create = Entry<FindCreateFn>(runtime, "NDIlib_find_create_v2");
  auto wait = Entry<FindWaitFn>(runtime, "NDIlib_find_wait_for_sources");
  auto sources = Entry<FindSourcesFn>(runtime, "NDIlib_find_get_current_sources");
  auto destroy = Entry<FindDestroyFn>(runtime, "NDIlib_find_destroy");
  if (!initialize || !create || !wait || !sources || !destroy || !initialize()) {
    Print("finder error: the runtime lacks the finder's entry points or did not initialize");
    return 2;
  }
  NDIlib_find_create_t settings = {true, nullptr, nullptr};
  void* finder = create(&settings);
  if (finder == nullptr) {
    Print("finder error: NDIlib_find_create_v2 returned null");
    return 2;
  }
  const ULONGLONG started = ::GetTickCount64();
  std::set<std::string> seen;
  const bool looking = !wanted.empty();
  for (;;) {
    const ULONGLONG elapsed = ::GetTickCount64() - started;
    if ((looking && wanted.empty()) || elapsed >= limit_ms) break;
    wait(finder, static_cast<uint32_t>(limit_ms - elapsed < 500 ? limit_ms - elapsed : 500));
    uint32_t count = 0;
    const NDIlib_source_t* list = sources(finder, &count);
    for (uint32_t i = 0; i < count; ++i) {
      const std::string name = list[i].p_ndi_name ? list[i].p_ndi_name : "";
      if (!seen.insert(name).second) continue;
      Print("found " + std::to_string(::GetTickCount64() - started) + " " + name + "\t" +
            (list[i].p_url_address ? list[i].p_url_address : ""));
      for (auto text = wanted.begin(); text != wanted.end();) {
        text = name.find(*text) != std::string::npos ? wanted.erase(text) : std::next(text);
      }
    }
  }
  Print("finder end sources=" + std::to_string(seen.size()) +
        " ms=" + std::to_string(::GetTickCount64() - started));
  // Like the runtime's senders, its finder may not come back from being destroyed under
  // Wine; the process ends without it, as the bridge's does.
  ::ExitProcess(wanted.empty() ? 0 : 1);
}
