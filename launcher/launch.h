// The launch sequence: installation checks, log, environment, child process.
#pragma once

#include <windows.h>

#include <string>

// The directory of this executable without a trailing separator, or empty.
std::wstring GetExecutableDirectory();

// One argument as a quoted command-line token that CommandLineToArgvW splits back.
std::wstring QuoteArgument(const std::wstring& argument);

// Runs the whole sequence once and returns the process exit code.
DWORD RunLaunchSequence();
