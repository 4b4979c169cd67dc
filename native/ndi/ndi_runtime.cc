#include "ndi_runtime.h"

#include <windows.h>

#include <mutex>
#include <string>

#include "machine_ndi_dir.h"
#include "scoped_handle.h"

namespace {

NdiRuntimeEntries g_ndi_runtime = {};
std::mutex g_load_lock;

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

bool IsAsciiLetter(wchar_t c) { return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z'); }

// Only absolute directories: "X:\" or "X:/", or two leading separators (UNC, device).
// A relative directory would make the load depend on the current directory. The launcher
// reads the same value with a looser rule on purpose (launcher/ndi_environment.cc): it
// only hands the directory on, and this load is where a path becomes code.
bool IsAcceptedRuntimeDir(const std::wstring& dir) {
  if (dir.size() < 3) return false;
  if (IsAsciiLetter(dir[0]) && dir[1] == L':' && IsSeparator(dir[2])) return true;
  return IsSeparator(dir[0]) && IsSeparator(dir[1]);
}

template <typename Fn>
Fn Entry(HMODULE module, const char* name) {
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
}

// Loads Processing.NDI.Lib.x64.dll from the machine-wide runtime directory; null when the
// directory is missing or not absolute, or the load fails.
HMODULE LoadNdiRuntimeLibrary() {
  std::wstring path = ReadMachineNdiRuntimeDir();
  if (!IsAcceptedRuntimeDir(path)) return nullptr;
  if (!IsSeparator(path.back())) path += L'\\';
  path += L"Processing.NDI.Lib.x64.dll";
  // The runtime's own dependencies come from its directory and System32 only.
  return ::LoadLibraryExW(path.c_str(), nullptr,
                          LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
}

}  // namespace

const NdiRuntimeEntries& NdiRuntime() { return g_ndi_runtime; }

bool EnsureNdiRuntime() {
  // Worker threads may call in at the same time as the script thread.
  std::lock_guard<std::mutex> turn(g_load_lock);
  if (g_ndi_runtime.module != nullptr) return true;
  // Freed again unless the runtime is complete and initialises.
  win::ScopedModule library(LoadNdiRuntimeLibrary());
  if (!library.IsValid()) return false;
  const HMODULE module = library.Get();

  // No NDIlib_destroy: the runtime, once initialised, stays so for the life of the process.
  NdiRuntimeEntries entries = {};
  entries.initialize = Entry<NDIlib_initialize_fn>(module, "NDIlib_initialize");
  entries.send_create = Entry<NDIlib_send_create_fn>(module, "NDIlib_send_create");
  entries.send_destroy = Entry<NDIlib_send_destroy_fn>(module, "NDIlib_send_destroy");
  entries.send_video = Entry<NDIlib_send_send_video_fn>(module, "NDIlib_send_send_video_v2");
  entries.send_video_async =
      Entry<NDIlib_send_send_video_fn>(module, "NDIlib_send_send_video_async_v2");

  if (entries.initialize != nullptr && entries.send_create != nullptr &&
      entries.send_video != nullptr && entries.send_destroy != nullptr &&
      entries.initialize()) {
    entries.module = library.Take();
    g_ndi_runtime = entries;
    return true;
  }
  return false;
}
