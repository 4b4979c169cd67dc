#include "ndi_environment.h"

#include "constants.h"
#include "log.h"
#include "machine_ndi_dir.h"

// Any form of path, as read: the launcher only tells its child where the runtime lies.
// The addon, which loads the library, takes absolute directories alone
// (native/ndi/ndi_runtime.cc, IsAcceptedRuntimeDir); the two rules differ on purpose.
bool HasNdiRuntime(const std::wstring& directory) {
  if (directory.empty()) return false;
  // The value is used as read: a trailing separator stays and gets no second one.
  const wchar_t last = directory.back();
  const std::wstring file = (last == L'\\' || last == L'/')
                                ? directory + kNdiRuntimeLibraryName
                                : directory + L"\\" + kNdiRuntimeLibraryName;
  const DWORD attributes = ::GetFileAttributesW(file.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

void ApplyMachineNdiRuntimeDir(HANDLE log) {
  // Only the machine-wide value counts; what this process inherited is overwritten or
  // removed so the child never sees a stale directory.
  const std::wstring directory = ReadMachineNdiRuntimeDir();
  if (HasNdiRuntime(directory)) {
    if (::SetEnvironmentVariableW(kNdiRuntimeDirVariable, directory.c_str())) {
      WriteLogRecord(log, kEventNdiFromMachine, 1);
    }
    return;
  }
  ::SetEnvironmentVariableW(kNdiRuntimeDirVariable, nullptr);
  WriteLogRecord(log, kEventNdiMissing, 1);
}
