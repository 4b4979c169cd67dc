// Binds the addon's Node-API imports to the process that hosts it.
//
// The imports are delay-loaded from "node.exe". The bridge runtime is node.exe under
// another file name, and an embedder may carry Node.js as libnode.dll, so the first call
// of any Node-API function asks this hook for the host module instead of loading a file.

#include <windows.h>
#include <delayimp.h>

namespace {

FARPROC WINAPI NodeHostHook(unsigned notification, PDelayLoadInfo info) {
  if (notification != dliNotePreLoadLibrary || info == nullptr ||
      info->szDll == nullptr || ::lstrcmpiA(info->szDll, "node.exe") != 0) {
    return nullptr;
  }
  // No reference is taken: the host module outlives the addon.
  HMODULE host = ::GetModuleHandleA("libnode.dll");
  if (host == nullptr) host = ::GetModuleHandleA(nullptr);
  return reinterpret_cast<FARPROC>(host);
}

}  // namespace

// mingw-w64 declares the hook non-const; this definition replaces the library's null one.
PfnDliHook __pfnDliNotifyHook2 = NodeHostHook;
