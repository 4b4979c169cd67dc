// The launcher's best-effort log: directory, rotation, opening, records.
#pragma once

#include <windows.h>

#include <string>

// The variable's value in this process's environment; empty when unset or empty.
std::wstring ReadEnvironmentString(const wchar_t* name);

// Whether the path can serve as a directory; creates its last level when missing.
bool EnsureDirectory(const std::wstring& path);

// The log directory, existing on return, or empty when there is none.
std::wstring ResolveLogDirectory();

// Moves a bridge.log above the threshold to bridge.previous.log.
void RotateLog(const std::wstring& log_directory);

// bridge.log opened inheritable for appending, or INVALID_HANDLE_VALUE.
HANDLE OpenLog(const std::wstring& log_directory);

// Appends one record line; does nothing without a handle (null or INVALID_HANDLE_VALUE).
void WriteLogRecord(HANDLE log, const wchar_t* key, DWORD value);
