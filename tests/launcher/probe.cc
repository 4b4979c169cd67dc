// Stand-in bridge runtime for the launcher tests, installed as
// runtime\kestovar-ndi-bridge.exe. It reports what the launcher gave it on its standard
// output (the launcher's log), one WriteFile per line, in UTF-8:
//   probe begin tag=T pid=P / cmdline=... / argc=N / argv[i]=... / cwd=... /
//   ndi_runtime_dir=... or ndi_runtime_dir_absent / startup_flags=0x.. show=N /
//   stdin=TYPE stdout=TYPE stderr=TYPE / stdout_is_stderr=yes|no /
//   stdout_path=... (disk files only) / probe line i/N tag=T ... / probe end tag=T
// Options, all from the environment:
//   KESTOVAR_PROBE_TAG      tag on the begin, line and end lines
//   KESTOVAR_PROBE_REPORT   file that gets a copy of the whole output (for NUL output)
//   KESTOVAR_PROBE_WAIT     file to wait for (up to 30 s) before writing anything
//   KESTOVAR_PROBE_LINES    number of extra lines; KESTOVAR_PROBE_DELAY_MS between them
//   KESTOVAR_PROBE_PAUSE_AT after this numbered line, wait for KESTOVAR_PROBE_RESUME
//   KESTOVAR_PROBE_LOCK     named mutex held around each write, so that probes sharing a
//                           log do not meet inside Wine, whose append-only writes from
//                           several processes at the same instant can overlap
//   KESTOVAR_PROBE_DONE     file created after the last line
//   KESTOVAR_PROBE_LOCKED   when set, first denies every access to its own process, so it
//                           cannot be opened, as another user's bridge cannot by one who
//                           lacks the debug privilege
//   KESTOVAR_PROBE_EXIT     exit code
#include <windows.h>
#include <aclapi.h>
#include <shellapi.h>

#include <stdlib.h>

#include <string>

#include "scoped_handle.h"

namespace {

std::wstring Env(const wchar_t* name) {
  const DWORD needed = ::GetEnvironmentVariableW(name, nullptr, 0);
  if (needed == 0) return std::wstring();
  std::wstring value(needed, L'\0');
  const DWORD got = ::GetEnvironmentVariableW(name, &value[0], needed);
  value.resize(got < needed ? got : 0);
  return value;
}

bool EnvPresent(const wchar_t* name) {
  ::SetLastError(0);
  return ::GetEnvironmentVariableW(name, nullptr, 0) != 0 ||
         ::GetLastError() != ERROR_ENVVAR_NOT_FOUND;
}

unsigned long EnvNumber(const wchar_t* name) {
  return std::wcstoul(Env(name).c_str(), nullptr, 10);
}

std::string Utf8(const std::wstring& text) {
  if (text.empty()) return std::string();
  const int bytes = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                          nullptr, 0, nullptr, nullptr);
  std::string out(bytes, '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], bytes,
                        nullptr, nullptr);
  return out;
}

win::ScopedHandle g_report;
win::ScopedHandle g_lock;

void WaitForFile(const std::wstring& path) {
  if (path.empty()) return;
  for (int i = 0; i < 1500 && ::GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES; ++i) {
    ::Sleep(20);
  }
}

void Line(const std::wstring& text) {
  const std::string bytes = Utf8(text + L"\r\n");
  DWORD written = 0;
  if (g_lock.IsValid()) ::WaitForSingleObject(g_lock.Get(), 10000);
  HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
  if (out != nullptr && out != INVALID_HANDLE_VALUE) {
    ::WriteFile(out, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  }
  if (g_report.IsValid()) {
    ::WriteFile(g_report.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  }
  if (g_lock.IsValid()) ::ReleaseMutex(g_lock.Get());
}

std::wstring TypeName(DWORD std_handle) {
  HANDLE handle = ::GetStdHandle(std_handle);
  if (handle == nullptr) return L"null";
  if (handle == INVALID_HANDLE_VALUE) return L"invalid";
  switch (::GetFileType(handle)) {
    case FILE_TYPE_DISK: return L"disk";
    case FILE_TYPE_CHAR: return L"char";
    case FILE_TYPE_PIPE: return L"pipe";
    default: return L"unknown";
  }
}

std::wstring Hex(DWORD value) {
  wchar_t text[16];
  ::_snwprintf(text, 16, L"0x%lx", value);
  text[15] = L'\0';
  return text;
}

}  // namespace

int wmain() {
  if (EnvPresent(L"KESTOVAR_PROBE_LOCKED")) {
    ACL empty = {};
    ::InitializeAcl(&empty, sizeof(empty), ACL_REVISION);
    ::SetSecurityInfo(::GetCurrentProcess(), SE_KERNEL_OBJECT,
                      DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                      nullptr, &empty, nullptr);
  }
  const std::wstring report = Env(L"KESTOVAR_PROBE_REPORT");
  if (!report.empty()) {
    g_report.Set(::CreateFileW(report.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                               CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  }
  const std::wstring lock = Env(L"KESTOVAR_PROBE_LOCK");
  if (!lock.empty()) g_lock.Set(::CreateMutexW(nullptr, FALSE, lock.c_str()));
  WaitForFile(Env(L"KESTOVAR_PROBE_WAIT"));
  const std::wstring tag = Env(L"KESTOVAR_PROBE_TAG");

  Line(L"probe begin tag=" + tag + L" pid=" + std::to_wstring(::GetCurrentProcessId()));
  Line(L"cmdline=" + std::wstring(::GetCommandLineW()));
  int argc = 0;
  const win::ScopedLocal<wchar_t**> argv(::CommandLineToArgvW(::GetCommandLineW(), &argc));
  Line(L"argc=" + std::to_wstring(argv.IsValid() ? argc : -1));
  for (int i = 0; argv.IsValid() && i < argc; ++i) {
    Line(L"argv[" + std::to_wstring(i) + L"]=" + argv.Get()[i]);
  }

  wchar_t cwd[4096] = {};
  ::GetCurrentDirectoryW(4096, cwd);
  Line(L"cwd=" + std::wstring(cwd));

  if (EnvPresent(L"NDI_RUNTIME_DIR_V6")) {
    Line(L"ndi_runtime_dir=" + Env(L"NDI_RUNTIME_DIR_V6"));
  } else {
    Line(L"ndi_runtime_dir_absent");
  }

  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  ::GetStartupInfoW(&startup);
  Line(L"startup_flags=" + Hex(startup.dwFlags) + L" show=" +
       std::to_wstring(startup.wShowWindow));

  Line(L"stdin=" + TypeName(STD_INPUT_HANDLE) + L" stdout=" + TypeName(STD_OUTPUT_HANDLE) +
       L" stderr=" + TypeName(STD_ERROR_HANDLE));
  HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
  Line(std::wstring(L"stdout_is_stderr=") +
       (out != nullptr && out == ::GetStdHandle(STD_ERROR_HANDLE) ? L"yes" : L"no"));
  if (out != nullptr && out != INVALID_HANDLE_VALUE && ::GetFileType(out) == FILE_TYPE_DISK) {
    wchar_t final_path[4096] = {};
    if (::GetFinalPathNameByHandleW(out, final_path, 4096, FILE_NAME_NORMALIZED) > 0) {
      Line(L"stdout_path=" + std::wstring(final_path));
    }
  }

  const unsigned long lines = EnvNumber(L"KESTOVAR_PROBE_LINES");
  const unsigned long delay = EnvNumber(L"KESTOVAR_PROBE_DELAY_MS");
  const unsigned long pause_at = EnvNumber(L"KESTOVAR_PROBE_PAUSE_AT");
  for (unsigned long i = 1; i <= lines; ++i) {
    if (delay > 0) ::Sleep(delay);
    Line(L"probe line " + std::to_wstring(i) + L"/" + std::to_wstring(lines) + L" tag=" + tag +
         L" ----------------------------------------------------------------");
    if (i == pause_at) WaitForFile(Env(L"KESTOVAR_PROBE_RESUME"));
  }
  Line(L"probe end tag=" + tag);

  // The report is closed before the file that says it is complete appears.
  g_report.Close();
  g_lock.Close();
  const std::wstring done = Env(L"KESTOVAR_PROBE_DONE");
  if (!done.empty()) {
    // Made and closed at once: only its existence counts.
    win::ScopedHandle(::CreateFileW(done.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
  }
  return static_cast<int>(EnvNumber(L"KESTOVAR_PROBE_EXIT"));
}
