// NDI_RUNTIME_DIR_V6 for the child, following the machine-wide registry value.
#pragma once

#include <windows.h>

#include <string>

// Whether Processing.NDI.Lib.x64.dll exists as a file in the directory.
bool HasNdiRuntime(const std::wstring& directory);

// Sets NDI_RUNTIME_DIR_V6 in this process's environment to the machine-wide value when
// it holds the runtime, removes it otherwise, and logs which.
void ApplyMachineNdiRuntimeDir(HANDLE log);
