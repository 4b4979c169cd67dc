// File names, environment names and log keys of the launcher, in one place.
#pragma once

// Installation layout, relative to the launcher directory.
inline constexpr wchar_t kRuntimeRelativePath[] = L"runtime\\kestovar-ndi-bridge.exe";
inline constexpr wchar_t kScriptRelativePath[] = L"app\\src\\server.js";
inline constexpr wchar_t kAppRelativePath[] = L"app";

// Log location.
inline constexpr wchar_t kLogDirVariable[] = L"KESTOVAR_NDI_LOG_DIR";
inline constexpr wchar_t kLocalAppDataVariable[] = L"LOCALAPPDATA";
inline constexpr wchar_t kMakerDirName[] = L"Tarnwell";
inline constexpr wchar_t kProductDirName[] = L"Kestovar Output Bridge";
inline constexpr wchar_t kLogsDirName[] = L"logs";
inline constexpr wchar_t kLogFileName[] = L"bridge.log";
inline constexpr wchar_t kPreviousLogFileName[] = L"bridge.previous.log";
// A log strictly larger than this is rotated at the next launch.
inline constexpr unsigned long long kLogRotationBytes = 4194304;

// NDI runtime handed to the child.
inline constexpr wchar_t kNdiRuntimeDirVariable[] = L"NDI_RUNTIME_DIR_V6";
inline constexpr wchar_t kNdiRuntimeLibraryName[] = L"Processing.NDI.Lib.x64.dll";

// Log event keys.
inline constexpr wchar_t kEventStarting[] = L"starting";
inline constexpr wchar_t kEventNdiFromMachine[] = L"ndi_runtime_from_machine_registry";
inline constexpr wchar_t kEventNdiMissing[] = L"ndi_runtime_machine_missing";
inline constexpr wchar_t kEventChild[] = L"child";
inline constexpr wchar_t kEventCreateFailed[] = L"create_failed";
