// kestovar-find-processes IMAGE: prints the id of every running process whose executable
// is IMAGE (a full path, compared without regard to case), one a line. The stop tool uses
// it to find every bridge of its installation, other users' included when it runs as an
// administrator: their state files are theirs, the executable is the installation's.
// Exit 0 (also when there is none), 1 when the process list cannot be read, 2 when misused.
#include <windows.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cwchar>

namespace {

// Room for the longest path Windows allows.
wchar_t image_path[32768];

bool SameText(const wchar_t* a, const wchar_t* b) {
  return ::CompareStringOrdinal(a, -1, b, -1, TRUE) == CSTR_EQUAL;
}

const wchar_t* FileName(const wchar_t* path) {
  const wchar_t* slash = std::wcsrchr(path, L'\\');
  return slash ? slash + 1 : path;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) return 2;
  const wchar_t* wanted = argv[1];
  HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return 1;
  PROCESSENTRY32W entry = {};
  entry.dwSize = sizeof(entry);
  for (BOOL more = ::Process32FirstW(snapshot, &entry); more;
       more = ::Process32NextW(snapshot, &entry)) {
    // Only processes of that file name are opened at all.
    if (!SameText(entry.szExeFile, FileName(wanted))) continue;
    HANDLE process = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID);
    // Another user's process cannot be opened without administrator rights.
    if (process == nullptr) continue;
    DWORD size = ARRAYSIZE(image_path);
    if (::QueryFullProcessImageNameW(process, 0, image_path, &size) && SameText(image_path, wanted)) {
      std::printf("%lu\n", entry.th32ProcessID);
    }
    ::CloseHandle(process);
  }
  ::CloseHandle(snapshot);
  return 0;
}
