#include "machine_ndi_dir.h"

#include <windows.h>

#include <vector>

std::wstring ReadMachineNdiRuntimeDir() {
  static const wchar_t kKey[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment";
  static const wchar_t kValue[] = L"NDI_RUNTIME_DIR_V6";
  // RRF_RT_REG_SZ alone: REG_EXPAND_SZ is admitted too and comes back expanded.
  DWORD type = 0;
  DWORD bytes = 0;
  if (::RegGetValueW(HKEY_LOCAL_MACHINE, kKey, kValue, RRF_RT_REG_SZ, &type, nullptr, &bytes) !=
          ERROR_SUCCESS ||
      bytes < 2) {
    return std::wstring();
  }
  // One spare zero unit, so the text is terminated even if the data is not.
  std::vector<wchar_t> buffer(bytes / 2 + 1, L'\0');
  DWORD size = bytes;
  if (::RegGetValueW(HKEY_LOCAL_MACHINE, kKey, kValue, RRF_RT_REG_SZ, &type, buffer.data(),
                     &size) != ERROR_SUCCESS) {
    return std::wstring();
  }
  return std::wstring(buffer.data());
}
