// Test equipment: prints the owner, group and DACL of a file or folder as SDDL, as Windows
// (or Wine) reports them through GetNamedSecurityInfoW. Wine's icacls and cacls are stubs
// that print nothing, so the tests read permissions back with this.
// Usage: security_descriptor_probe PATH   (exit 1 when they cannot be read)
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <cstdio>

#include "scoped_handle.h"

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) return 2;
  const SECURITY_INFORMATION what =
      OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
  PSECURITY_DESCRIPTOR raw_descriptor = nullptr;
  DWORD error = ::GetNamedSecurityInfoW(argv[1], SE_FILE_OBJECT, what, nullptr, nullptr,
                                        nullptr, nullptr, &raw_descriptor);
  const win::ScopedLocal<PSECURITY_DESCRIPTOR> descriptor(raw_descriptor);
  if (error != ERROR_SUCCESS) {
    std::printf("error %lu\n", error);
    return 1;
  }
  wchar_t* raw_text = nullptr;
  const BOOL converted = ::ConvertSecurityDescriptorToStringSecurityDescriptorW(
      descriptor.Get(), SDDL_REVISION_1, what, &raw_text, nullptr);
  const win::ScopedLocal<wchar_t*> text(raw_text);
  if (converted) std::printf("%ls\n", text.Get());
  return converted ? 0 : 1;
}
