// Kestovar Output Bridge.exe: starts the bridge runtime hidden and exits.
#include <windows.h>

#include "launch.h"

// All four parameters are ignored: the launcher reads no arguments and always starts the
// child hidden, whatever show request it was given.
int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  // Defence in depth: any library loaded later, by us or on our behalf, comes from System32
  // only, never from the application or current directory.
  ::SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
  return static_cast<int>(RunLaunchSequence());
}
