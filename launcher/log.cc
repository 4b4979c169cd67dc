#include "log.h"

#include <stdio.h>
#include <wchar.h>

#include <vector>

#include "constants.h"
#include "scoped_handle.h"

namespace {

// Room for one record, terminator included; a record that needs more is dropped whole.
constexpr int kRecordChars = 320;

std::wstring JoinPath(const std::wstring& directory, const wchar_t* name) {
  return directory + L"\\" + name;
}

}  // namespace

std::wstring ReadEnvironmentString(const wchar_t* name) {
  const DWORD needed = ::GetEnvironmentVariableW(name, nullptr, 0);
  if (needed == 0) return std::wstring();
  std::vector<wchar_t> buffer(needed, L'\0');
  const DWORD got = ::GetEnvironmentVariableW(name, buffer.data(), needed);
  // A value that grew between the two calls reports a size >= needed: treat it as unset.
  if (got == 0 || got >= needed) return std::wstring();
  return std::wstring(buffer.data(), got);
}

bool EnsureDirectory(const std::wstring& path) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return true;
  }
  if (::CreateDirectoryW(path.c_str(), nullptr)) return true;
  // Also covers another launch creating it between the two calls.
  return ::GetLastError() == ERROR_ALREADY_EXISTS;
}

std::wstring ResolveLogDirectory() {
  const std::wstring configured = ReadEnvironmentString(kLogDirVariable);
  if (!configured.empty()) {
    // An explicit choice that fails means no log, not a log somewhere else.
    return EnsureDirectory(configured) ? configured : std::wstring();
  }
  const std::wstring local_app_data = ReadEnvironmentString(kLocalAppDataVariable);
  if (local_app_data.empty()) return std::wstring();
  const std::wstring maker = JoinPath(local_app_data, kMakerDirName);
  const std::wstring product = JoinPath(maker, kProductDirName);
  const std::wstring logs = JoinPath(product, kLogsDirName);
  if (!EnsureDirectory(maker) || !EnsureDirectory(product) || !EnsureDirectory(logs)) {
    return std::wstring();
  }
  return logs;
}

void RotateLog(const std::wstring& log_directory) {
  const std::wstring current = JoinPath(log_directory, kLogFileName);
  WIN32_FILE_ATTRIBUTE_DATA data = {};
  if (!::GetFileAttributesExW(current.c_str(), GetFileExInfoStandard, &data)) return;
  const unsigned long long size =
      (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  if (size <= kLogRotationBytes) return;
  const std::wstring previous = JoinPath(log_directory, kPreviousLogFileName);
  ::DeleteFileW(previous.c_str());
  // If the move fails the current file stays and is appended to.
  ::MoveFileExW(current.c_str(), previous.c_str(),
                MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
}

HANDLE OpenLog(const std::wstring& log_directory) {
  const std::wstring path = JoinPath(log_directory, kLogFileName);
  // Inheritable: the child writes its output through this very handle.
  SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE};
  // Append access alone makes every write, ours and the child's, land at the current end;
  // the share mode lets other launches append and a later launch rename it while open.
  return ::CreateFileW(path.c_str(), FILE_APPEND_DATA | SYNCHRONIZE,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inheritable,
                       OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

void WriteLogRecord(HANDLE log, const wchar_t* key, DWORD value) {
  if (!win::HandleTraits::IsValid(log)) return;
  SYSTEMTIME now = {};
  ::GetLocalTime(&now);
  std::vector<wchar_t> text(kRecordChars, L'\0');
  // msvcrt's _snwprintf returns -1 past the count and the count itself when no room is
  // left for the terminator; both mean the record does not fit and is dropped whole,
  // exactly as a bounded swprintf with a count of 320 would.
  const int chars = ::_snwprintf(
      text.data(), kRecordChars, L"[%04u-%02u-%02uT%02u:%02u:%02u] launcher pid=%lu %ls=%lu\r\n",
      static_cast<unsigned>(now.wYear), static_cast<unsigned>(now.wMonth),
      static_cast<unsigned>(now.wDay), static_cast<unsigned>(now.wHour),
      static_cast<unsigned>(now.wMinute), static_cast<unsigned>(now.wSecond),
      ::GetCurrentProcessId(), key, value);
  if (chars <= 0 || chars >= kRecordChars) return;
  const int bytes = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), chars, nullptr, 0, nullptr,
                                          nullptr);
  if (bytes <= 0) return;
  std::vector<char> utf8(bytes, '\0');
  if (::WideCharToMultiByte(CP_UTF8, 0, text.data(), chars, utf8.data(), bytes, nullptr,
                            nullptr) > 0) {
    // One record, one write: concurrent writers interleave only at whole records.
    DWORD written = 0;
    ::WriteFile(log, utf8.data(), static_cast<DWORD>(bytes), &written, nullptr);
  }
}
