// The stop tool's finder of the bridges of its installation, by their executable IMAGE (a
// full path, compared without regard to case): other users' included when it runs as an
// administrator, whose state files are theirs while the executable is the installation's.
//   kestovar-find-processes IMAGE
//     prints the id of every running process of IMAGE, one a line.
//   kestovar-find-processes --end IMAGE [--except PID]
//     ends every process of IMAGE but PID, each by the handle its image was checked on, so
//     that a process id used again by another program is never hit. Prints one line per
//     process: "ended PID" or "not_ended PID REASON". Lists again after ending, since a
//     bridge's monitor may start a new bridge meanwhile, until a listing finds none.
// A process of IMAGE's file name that cannot be opened is reported, never skipped: it may
// be a bridge ("not_opened PID ERROR" on the error output when listing).
// Exit 0 when every one was listed (ended), 1 when one was not or the process list cannot
// be read, 2 when misused.
#include <windows.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cwchar>
#include <utility>
#include <vector>

#include "scoped_handle.h"

namespace {

// How many times the processes are listed and ended before the tool gives up on one that
// keeps coming back, and how long it waits in all for the ended ones to be gone; within
// the stop tool's own 15 s.
constexpr int kEndRounds = 5;
constexpr ULONGLONG kEndWaitMs = 10000;
// The exit code an ended bridge gets, as Node's process.kill gave it before.
constexpr UINT kEndedExitCode = 1;

// Room for the longest path Windows allows.
wchar_t image_path[32768];

bool SameText(const wchar_t* a, const wchar_t* b) {
  return ::CompareStringOrdinal(a, -1, b, -1, TRUE) == CSTR_EQUAL;
}

const wchar_t* FileName(const wchar_t* path) {
  const wchar_t* slash = std::wcsrchr(path, L'\\');
  return slash ? slash + 1 : path;
}

bool IsImage(HANDLE process, const wchar_t* image) {
  DWORD size = ARRAYSIZE(image_path);
  return ::QueryFullProcessImageNameW(process, 0, image_path, &size) && SameText(image_path, image);
}

// Ending another user's process takes this privilege, which an administrator's token holds
// but has not enabled. Without it, ending such a process fails and is reported.
void EnableDebugPrivilege() {
  HANDLE raw = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &raw)) return;
  const win::ScopedHandle token(raw);
  TOKEN_PRIVILEGES privileges = {};
  privileges.PrivilegeCount = 1;
  privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  if (!::LookupPrivilegeValueW(nullptr, SE_DEBUG_NAME, &privileges.Privileges[0].Luid)) return;
  ::AdjustTokenPrivileges(token.Get(), FALSE, &privileges, 0, nullptr, nullptr);
}

// Ends the process: 0, or why not. One that is ending already refuses to be ended, and
// counts as ended.
DWORD Terminate(HANDLE process) {
  if (::TerminateProcess(process, kEndedExitCode)) return ERROR_SUCCESS;
  const DWORD error = ::GetLastError();
  return ::WaitForSingleObject(process, 0) == WAIT_OBJECT_0 ? ERROR_SUCCESS : error;
}

// A process of IMAGE's file name: its handle (null when it could not be opened with
// `access`) and why not.
struct Candidate {
  DWORD pid;
  win::ScopedHandle process;
  DWORD open_error;
};

// Every process of IMAGE's file name but `except`, opened with `access`; false when the
// process list cannot be read. Those opened whose image is another file are left out.
bool ListCandidates(const wchar_t* image, DWORD access, DWORD except,
                    std::vector<Candidate>* candidates) {
  const win::ScopedHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot.IsValid()) return false;
  PROCESSENTRY32W entry = {};
  entry.dwSize = sizeof(entry);
  for (BOOL more = ::Process32FirstW(snapshot.Get(), &entry); more;
       more = ::Process32NextW(snapshot.Get(), &entry)) {
    // Only processes of that file name are opened at all.
    if (entry.th32ProcessID == except || !SameText(entry.szExeFile, FileName(image))) continue;
    win::ScopedHandle process(::OpenProcess(access, FALSE, entry.th32ProcessID));
    const DWORD open_error = process.IsValid() ? 0 : ::GetLastError();
    // No such process any more: it ended since the listing.
    if (open_error == ERROR_INVALID_PARAMETER) continue;
    if (process.IsValid() && !IsImage(process.Get(), image)) continue;
    // One that may be queried but not ended is only reported when it is of this image.
    if (!process.IsValid()) {
      const win::ScopedHandle query(
          ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID));
      if (query.IsValid() && !IsImage(query.Get(), image)) continue;
    }
    candidates->push_back(Candidate{entry.th32ProcessID, std::move(process), open_error});
  }
  return true;
}

int List(const wchar_t* image) {
  std::vector<Candidate> candidates;
  if (!ListCandidates(image, PROCESS_QUERY_LIMITED_INFORMATION, 0, &candidates)) return 1;
  int code = 0;
  for (const Candidate& candidate : candidates) {
    if (candidate.process.IsValid()) {
      std::printf("%lu\n", candidate.pid);
    } else {
      // On the error output, so the standard output stays a plain list of ids.
      std::fprintf(stderr, "not_opened %lu %lu\n", candidate.pid, candidate.open_error);
      code = 1;
    }
  }
  return code;
}

int End(const wchar_t* image, DWORD except) {
  EnableDebugPrivilege();
  const ULONGLONG deadline = ::GetTickCount64() + kEndWaitMs;
  for (int round = 0;; ++round) {
    std::vector<Candidate> candidates;
    if (!ListCandidates(image, PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE | SYNCHRONIZE,
                        except, &candidates)) {
      std::printf("not_listed %lu\n", ::GetLastError());
      return 1;
    }
    if (candidates.empty()) return 0;
    bool failed = false;
    for (Candidate& candidate : candidates) {
      if (!candidate.process.IsValid()) {
        std::printf("not_ended %lu cannot open it: error %lu\n", candidate.pid,
                    candidate.open_error);
        failed = true;
      } else if (round == kEndRounds) {
        std::printf("not_ended %lu started again after %d rounds\n", candidate.pid, kEndRounds);
        failed = true;
      } else if (const DWORD error = Terminate(candidate.process.Get())) {
        std::printf("not_ended %lu cannot end it: error %lu\n", candidate.pid, error);
        failed = true;
        candidate.process.Close();
      }
    }
    // Gone means its handle is signalled: only then may a new listing not see it.
    for (const Candidate& candidate : candidates) {
      if (!candidate.process.IsValid() || round == kEndRounds) continue;
      const ULONGLONG now = ::GetTickCount64();
      const DWORD wait = now < deadline ? static_cast<DWORD>(deadline - now) : 0;
      if (::WaitForSingleObject(candidate.process.Get(), wait) == WAIT_OBJECT_0) {
        std::printf("ended %lu\n", candidate.pid);
      } else {
        std::printf("not_ended %lu still running\n", candidate.pid);
        failed = true;
      }
    }
    if (failed) return 1;
  }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc == 2) return List(argv[1]);
  const bool ending = argc >= 3 && SameText(argv[1], L"--end");
  if (ending && argc == 3) return End(argv[2], 0);
  if (ending && argc == 5 && SameText(argv[3], L"--except")) {
    return End(argv[2], std::wcstoul(argv[4], nullptr, 10));
  }
  return 2;
}
