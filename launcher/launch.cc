#include "launch.h"

#include <algorithm>
#include <vector>

#include "constants.h"
#include "exit_codes.h"
#include "inherited_handle_list.h"
#include "log.h"
#include "ndi_environment.h"
#include "scoped_handle.h"

namespace {

bool IsExistingFile(const std::wstring& path) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool IsExistingDirectory(const std::wstring& path) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// A process's current directory, with the trailing backslash Windows adds and the
// terminating null, must fit in MAX_PATH characters.
constexpr size_t kMaxChildDirectoryLength = MAX_PATH - 2;

// The standard handles of the child, each once, without the null ones.
std::vector<HANDLE> DistinctStandardHandles(const STARTUPINFOW& startup) {
  std::vector<HANDLE> handles;
  for (HANDLE handle : {startup.hStdInput, startup.hStdOutput, startup.hStdError}) {
    if (handle != nullptr && std::find(handles.begin(), handles.end(), handle) == handles.end()) {
      handles.push_back(handle);
    }
  }
  return handles;
}

}  // namespace

std::wstring GetExecutableDirectory() {
  std::vector<wchar_t> buffer(512, L'\0');
  DWORD length = 0;
  for (;;) {
    length = ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0) return std::wstring();
    // A full buffer may hold a truncated path: grow until there is room to spare.
    if (length < buffer.size() - 1) break;
    buffer.resize(buffer.size() * 2, L'\0');
  }
  const std::wstring path(buffer.data(), length);
  const size_t separator = path.find_last_of(L"\\/");
  if (separator == std::wstring::npos) return std::wstring();
  return path.substr(0, separator);
}

std::wstring QuoteArgument(const std::wstring& argument) {
  std::wstring token(1, L'"');
  size_t backslashes = 0;
  for (const wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
    } else if (c == L'"') {
      // Each pending backslash doubled, plus one to escape the quote itself.
      token.append(backslashes * 2 + 1, L'\\');
      token += c;
      backslashes = 0;
    } else {
      token.append(backslashes, L'\\');
      token += c;
      backslashes = 0;
    }
  }
  // Doubled so the closing quote is not escaped by them.
  token.append(backslashes * 2, L'\\');
  token += L'"';
  return token;
}

DWORD RunLaunchSequence() {
  const std::wstring directory = GetExecutableDirectory();
  if (directory.empty()) return kExitNoLauncherDirectory;

  const std::wstring runtime_path = directory + L"\\" + kRuntimeRelativePath;
  const std::wstring script_path = directory + L"\\" + kScriptRelativePath;
  const std::wstring app_directory = directory + L"\\" + kAppRelativePath;

  // Checked before the log is touched: an incomplete installation leaves no trace.
  if (!IsExistingFile(runtime_path) || !IsExistingFile(script_path) ||
      !IsExistingDirectory(app_directory)) {
    return kExitIncompleteInstallation;
  }

  const std::wstring log_directory = ResolveLogDirectory();
  // Rotation only here, before the file is opened: never under our own handle.
  if (!log_directory.empty()) RotateLog(log_directory);
  const win::ScopedHandle log(log_directory.empty() ? nullptr : OpenLog(log_directory));

  SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE};
  const win::ScopedHandle null_input(::CreateFileW(L"NUL", GENERIC_READ,
                                                   FILE_SHARE_READ | FILE_SHARE_WRITE,
                                                   &inheritable, OPEN_EXISTING,
                                                   FILE_ATTRIBUTE_NORMAL, nullptr));
  // Without a log the child still gets a valid output handle to write to.
  const win::ScopedHandle null_output(
      log.IsValid() ? nullptr
                    : ::CreateFileW(L"NUL", FILE_APPEND_DATA | SYNCHRONIZE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    &inheritable, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));

  WriteLogRecord(log.Get(), kEventStarting, 0);
  ApplyMachineNdiRuntimeDir(log.Get());

  // No child can be started in a longer current directory: refused here, recorded like a
  // failed CreateProcessW.
  if (app_directory.size() > kMaxChildDirectoryLength) {
    WriteLogRecord(log.Get(), kEventCreateFailed, ERROR_FILENAME_EXCED_RANGE);
    return ERROR_FILENAME_EXCED_RANGE;
  }

  STARTUPINFOEXW startup = {};
  startup.StartupInfo.cb = sizeof(startup.StartupInfo);
  // Standard handles are always passed, null ones included, so the child never falls
  // back to whatever console or handles we might have had.
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW;
  startup.StartupInfo.wShowWindow = SW_HIDE;
  // An owner holds a valid handle or null, never INVALID_HANDLE_VALUE.
  startup.StartupInfo.hStdInput = null_input.Get();
  const HANDLE output = log.IsValid() ? log.Get() : null_output.Get();
  startup.StartupInfo.hStdOutput = output;
  startup.StartupInfo.hStdError = output;

  // The child inherits its standard handles and nothing else. Should the list fail, the
  // launch goes on as without it rather than not at all.
  const std::vector<HANDLE> inherited = DistinctStandardHandles(startup.StartupInfo);
  const InheritedHandleList inherit_only(inherited);
  DWORD flags = CREATE_NO_WINDOW | CREATE_UNICODE_ENVIRONMENT;
  if (inherit_only.Get() != nullptr) {
    startup.StartupInfo.cb = sizeof(startup);
    startup.lpAttributeList = inherit_only.Get();
    flags |= EXTENDED_STARTUPINFO_PRESENT;
  }
  // With no standard handle to pass (NUL and the log all failed) there is nothing to inherit.
  const BOOL inherit_handles = inherited.empty() ? FALSE : TRUE;

  const std::wstring command = QuoteArgument(runtime_path) + L" " + QuoteArgument(script_path);
  // CreateProcessW may write into the command line, so it gets its own copy.
  std::vector<wchar_t> command_line(command.begin(), command.end());
  command_line.push_back(L'\0');

  PROCESS_INFORMATION process = {};
  // A null environment hands over ours, as ApplyMachineNdiRuntimeDir left it.
  if (!::CreateProcessW(runtime_path.c_str(), command_line.data(), nullptr, nullptr,
                        inherit_handles, flags, nullptr, app_directory.c_str(),
                        &startup.StartupInfo, &process)) {
    const DWORD error = ::GetLastError();
    WriteLogRecord(log.Get(), kEventCreateFailed, error);
    return error != 0 ? error : kExitCreateFailedNoCode;
  }
  // The child runs on its own: its handles are only closed.
  const win::ScopedHandle child_thread(process.hThread);
  const win::ScopedHandle child_process(process.hProcess);
  WriteLogRecord(log.Get(), kEventChild, process.dwProcessId);
  return kExitChildCreated;
}
