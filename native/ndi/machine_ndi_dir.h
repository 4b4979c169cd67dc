// The machine-wide NDI runtime directory, shared by the addon and the launcher.
#pragma once

#include <string>

// The string value NDI_RUNTIME_DIR_V6 under HKLM's session environment, or empty when it
// is absent, not a string, shorter than one UTF-16 unit, or unreadable.
std::wstring ReadMachineNdiRuntimeDir();
