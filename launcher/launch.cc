#include "launch.h"

#include <vector>

#include "constants.h"
#include "exit_codes.h"
#include "log.h"
#include "ndi_environment.h"

namespace {

bool IsExistingFile(const std::wstring& path) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool IsExistingDirectory(const std::wstring& path) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

void CloseIfValid(HANDLE handle) {
  if (handle != INVALID_HANDLE_VALUE) ::CloseHandle(handle);
}

HANDLE ValidOrNull(HANDLE handle) { return handle == INVALID_HANDLE_VALUE ? nullptr : handle; }

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

  HANDLE log = INVALID_HANDLE_VALUE;
  const std::wstring log_directory = ResolveLogDirectory();
  if (!log_directory.empty()) {
    // Rotation only here, before the file is opened: never under our own handle.
    RotateLog(log_directory);
    log = OpenLog(log_directory);
  }

  SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE};
  HANDLE null_input = ::CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    &inheritable, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  HANDLE null_output = INVALID_HANDLE_VALUE;
  if (log == INVALID_HANDLE_VALUE) {
    // Without a log the child still gets a valid output handle to write to.
    null_output = ::CreateFileW(L"NUL", FILE_APPEND_DATA | SYNCHRONIZE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                &inheritable, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  }

  WriteLogRecord(log, kEventStarting, 0);
  ApplyMachineNdiRuntimeDir(log);

  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  // Standard handles are always passed, null ones included, so the child never falls
  // back to whatever console or handles we might have had.
  startup.dwFlags = STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_HIDE;
  startup.hStdInput = ValidOrNull(null_input);
  const HANDLE output = log != INVALID_HANDLE_VALUE ? log : null_output;
  startup.hStdOutput = ValidOrNull(output);
  startup.hStdError = ValidOrNull(output);

  const std::wstring command = QuoteArgument(runtime_path) + L" " + QuoteArgument(script_path);
  // CreateProcessW may write into the command line, so it gets its own copy.
  std::vector<wchar_t> command_line(command.begin(), command.end());
  command_line.push_back(L'\0');

  PROCESS_INFORMATION process = {};
  DWORD result = kExitChildCreated;
  // A process's current directory must fit MAX_PATH with its trailing backslash, so no
  // child could be started there anyway; Wine's CreateProcessW even corrupts its heap on
  // a longer one. Such an installation fails here, through the same failure path.
  const bool directory_fits = app_directory.size() < MAX_PATH - 1;
  if (!directory_fits) ::SetLastError(ERROR_FILENAME_EXCED_RANGE);
  // A null environment hands over ours, as ApplyMachineNdiRuntimeDir left it.
  if (directory_fits &&
      ::CreateProcessW(runtime_path.c_str(), command_line.data(), nullptr, nullptr, TRUE,
                       CREATE_NO_WINDOW | CREATE_UNICODE_ENVIRONMENT, nullptr,
                       app_directory.c_str(), &startup, &process)) {
    WriteLogRecord(log, kEventChild, process.dwProcessId);
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
  } else {
    const DWORD error = ::GetLastError();
    WriteLogRecord(log, kEventCreateFailed, error);
    result = error != 0 ? error : kExitCreateFailedNoCode;
  }

  CloseIfValid(null_input);
  CloseIfValid(null_output);
  CloseIfValid(log);
  return result;
}
