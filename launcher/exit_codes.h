// The launcher's process exit codes. It reports through these and its log alone.
#pragma once

#include <windows.h>

// The child process was created; says nothing about whether it keeps running.
constexpr DWORD kExitChildCreated = 0;
// GetModuleFileNameW failed or gave a path without a separator: nothing was done.
constexpr DWORD kExitNoLauncherDirectory = 10;
// The runtime executable, the server script or the app directory is missing or of the
// wrong kind: no log touched, no child.
constexpr DWORD kExitIncompleteInstallation = 11;
// CreateProcessW failed but left the last-error value at 0. Any other failure of
// CreateProcessW exits with the Windows error code itself, in the same range as these; an
// app directory too long to be a current directory exits with ERROR_FILENAME_EXCED_RANGE
// (206) without the call.
constexpr DWORD kExitCreateFailedNoCode = 12;
