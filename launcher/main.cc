// Kestovar Output Bridge.exe: starts the bridge runtime hidden and exits.
#include <windows.h>

#include "launch.h"

// All four parameters are ignored: the launcher reads no arguments and always starts the
// child hidden, whatever show request it was given.
int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  return static_cast<int>(RunLaunchSequence());
}
