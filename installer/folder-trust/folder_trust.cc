// kestovar-folder-trust: judges and makes folders that only administrators may change.
// Setup runs it from its own private copy before it writes anything, and every user's
// bridge runs it before it believes the machine settings file.
//
//   kestovar-folder-trust check FOLDER [ABOVE]
//       Judges every folder that exists on FOLDER's path, from the one below ABOVE (the
//       drive root when not given) down to FOLDER. Exit 0: none lets anyone else change
//       it; 1: one does (printed, with why).
//   kestovar-folder-trust make FOLDER
//       The same judgement, then every missing folder on the path made with the protected
//       permissions as it is made. Exit 0: made (or there); 1: refused, nothing made.
//   kestovar-folder-trust take-over FOLDER ABOVE
//       Makes the folders below ABOVE down to FOLDER the administrators' own: a link there
//       is removed (never what it points to), a missing folder made protected, and one
//       that others may change taken over, with everything below it. Exit 0: they were
//       the administrators' already; 1: something was not (printed, with what was done).
//
// "Anyone else" is every account but Administrators, SYSTEM, TrustedInstaller, CREATOR
// OWNER and the account running this. Exit 2: misused; 3: a folder could not be read,
// made or changed (printed, with the Windows error).
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <cwchar>
#include <string>
#include <vector>

#include "scoped_handle.h"

namespace {

// Owned by Administrators, full control for Administrators and SYSTEM, read and execute
// for Users, nothing inherited: the installation folder's permissions (installer/NSIS.template.in).
const wchar_t kProtectedSddl[] = L"O:BAD:PAI(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;BU)";
const wchar_t kTrustedInstaller[] =
    L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";

enum Exit { kTrusted = 0, kUntrusted = 1, kMisused = 2, kFailed = 3 };

// What a right given to anyone else would let them do to a folder.
struct Right {
  DWORD mask;
  const wchar_t* words;
};
const Right kChangeRights[] = {
    {GENERIC_ALL | GENERIC_WRITE | MAXIMUM_ALLOWED, L"change it"},
    {DELETE, L"delete or rename it"},
    {WRITE_DAC, L"change its permissions"},
    {WRITE_OWNER, L"take its ownership"},
    {FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY, L"add entries to it"},
    {FILE_DELETE_CHILD, L"remove entries from it"},
};

std::wstring output;

void Say(const std::wstring& text) {
  if (!output.empty()) output += L"; ";
  output += text;
}

std::wstring ErrorText(const wchar_t* what, const std::wstring& folder, DWORD error) {
  return folder + L": could not " + what + L" (Windows error " + std::to_wstring(error) + L")";
}

// The folders of path from the one below `above` (the drive or share root when empty)
// down to path itself, or none when path is not a full path below `above`.
std::vector<std::wstring> FoldersOnPath(const wchar_t* path, const wchar_t* above) {
  wchar_t full[MAX_PATH * 4];
  DWORD length = ::GetFullPathNameW(path, ARRAYSIZE(full), full, nullptr);
  if (length == 0 || length >= ARRAYSIZE(full)) return {};
  std::wstring text(full);
  while (text.size() > 3 && text.back() == L'\\') text.pop_back();
  size_t start;
  if (text.size() > 3 && text[1] == L':' && text[2] == L'\\') {
    start = 3;
  } else if (text.rfind(L"\\\\", 0) == 0 && text.rfind(L"\\\\?\\", 0) != 0) {
    // \\server\share\ is the root of a share.
    size_t share = text.find(L'\\', 2);
    start = share == std::wstring::npos ? std::wstring::npos : text.find(L'\\', share + 1);
    if (start == std::wstring::npos) return {};
    ++start;
  } else {
    return {};
  }
  if (*above != L'\0') {
    std::wstring top = above;
    while (!top.empty() && top.back() == L'\\') top.pop_back();
    if (text.size() <= top.size() + 1 || text[top.size()] != L'\\' ||
        ::CompareStringOrdinal(text.c_str(), static_cast<int>(top.size()), top.c_str(),
                               static_cast<int>(top.size()), TRUE) != CSTR_EQUAL) {
      return {};
    }
    start = top.size() + 1;
  }
  std::vector<std::wstring> folders;
  for (size_t end = text.find(L'\\', start); ; end = text.find(L'\\', end + 1)) {
    if (end == std::wstring::npos) {
      folders.push_back(text);
      return folders;
    }
    folders.push_back(text.substr(0, end));
  }
}

PSID AccountRunningThis() {
  static BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
  static PSID sid = nullptr;
  if (sid != nullptr) return sid;
  HANDLE opened = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &opened)) return nullptr;
  win::ScopedHandle token(opened);
  DWORD size = 0;
  if (::GetTokenInformation(token.Get(), TokenUser, buffer, sizeof(buffer), &size)) {
    sid = reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid;
  }
  return sid;
}

bool IsWellKnown(PSID sid, WELL_KNOWN_SID_TYPE type) {
  BYTE buffer[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof(buffer);
  return ::CreateWellKnownSid(type, nullptr, buffer, &size) && ::EqualSid(sid, buffer);
}

bool IsAdministrative(PSID sid) {
  if (IsWellKnown(sid, WinBuiltinAdministratorsSid) || IsWellKnown(sid, WinLocalSystemSid) ||
      IsWellKnown(sid, WinCreatorOwnerSid)) {
    return true;
  }
  PSID self = AccountRunningThis();
  if (self != nullptr && ::EqualSid(sid, self)) return true;
  PSID converted = nullptr;
  if (!::ConvertStringSidToSidW(kTrustedInstaller, &converted)) return false;
  win::ScopedLocal<PSID> installer(converted);
  return ::EqualSid(sid, installer.Get());
}

// The account's name as Windows shows it ("BUILTIN\Users", "Everyone"), or its SID.
std::wstring AccountName(PSID sid) {
  wchar_t name[256], domain[256];
  DWORD name_size = ARRAYSIZE(name), domain_size = ARRAYSIZE(domain);
  SID_NAME_USE use;
  if (::LookupAccountSidW(nullptr, sid, name, &name_size, domain, &domain_size, &use)) {
    return domain[0] != L'\0' ? std::wstring(domain) + L"\\" + name : std::wstring(name);
  }
  wchar_t* converted = nullptr;
  if (!::ConvertSidToStringSidW(sid, &converted)) return L"an unknown account";
  win::ScopedLocal<wchar_t*> text(converted);
  return text.Get();
}

// Why the folder's owner or DACL lets anyone else change it, or "".
std::wstring Distrust(PSID owner, PACL dacl) {
  if (owner == nullptr || !IsAdministrative(owner)) {
    return L"it is owned by " + (owner ? AccountName(owner) : std::wstring(L"no one")) +
           L", who may change its permissions";
  }
  if (dacl == nullptr) return L"everyone may change it (it has no access list)";
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    ACE_HEADER* header = nullptr;
    if (!::GetAce(dacl, i, reinterpret_cast<void**>(&header))) return L"its access list cannot be read";
    if (header->AceFlags & INHERIT_ONLY_ACE) continue;
    if (header->AceType == ACCESS_DENIED_ACE_TYPE) continue;
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) return L"its access list has entries of an unknown kind";
    auto* ace = reinterpret_cast<ACCESS_ALLOWED_ACE*>(header);
    PSID sid = &ace->SidStart;
    if (IsAdministrative(sid)) continue;
    std::wstring may;
    for (const Right& right : kChangeRights) {
      if (ace->Mask & right.mask) may += (may.empty() ? L"" : L", ") + std::wstring(right.words);
    }
    if (!may.empty()) return AccountName(sid) + L" may " + may;
  }
  return L"";
}

enum class Found { kMissing, kTrusted, kUntrusted, kFailed };

// Judges one folder; `why` says why it is not trusted, or what failed.
Found Judge(const std::wstring& folder, std::wstring* why) {
  DWORD attributes = ::GetFileAttributesW(folder.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    DWORD error = ::GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return Found::kMissing;
    *why = ErrorText(L"be read", folder, error);
    return Found::kFailed;
  }
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    *why = folder + L": it is a junction or symbolic link, which anyone who may change it could point elsewhere";
    return Found::kUntrusted;
  }
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    *why = folder + L": it is a file, not a folder";
    return Found::kUntrusted;
  }
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR read = nullptr;
  DWORD error = ::GetNamedSecurityInfoW(folder.c_str(), SE_FILE_OBJECT,
                                        OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                        &owner, nullptr, &dacl, nullptr, &read);
  if (error != ERROR_SUCCESS) {
    *why = ErrorText(L"read its permissions", folder, error);
    return Found::kFailed;
  }
  win::ScopedLocal<PSECURITY_DESCRIPTOR> descriptor(read);
  std::wstring distrust = Distrust(owner, dacl);
  if (distrust.empty()) return Found::kTrusted;
  *why = folder + L": " + distrust;
  return Found::kUntrusted;
}

// The protected permissions (kProtectedSddl) as a security descriptor, or an empty owner.
win::ScopedLocal<PSECURITY_DESCRIPTOR> ProtectedDescriptor() {
  PSECURITY_DESCRIPTOR converted = nullptr;
  ::ConvertStringSecurityDescriptorToSecurityDescriptorW(kProtectedSddl, SDDL_REVISION_1,
                                                         &converted, nullptr);
  return win::ScopedLocal<PSECURITY_DESCRIPTOR>(converted);
}

// Makes a folder with the protected permissions from its first moment.
DWORD MakeProtected(const std::wstring& folder) {
  win::ScopedLocal<PSECURITY_DESCRIPTOR> descriptor = ProtectedDescriptor();
  if (!descriptor.IsValid()) return ::GetLastError();
  SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor.Get(), FALSE};
  return ::CreateDirectoryW(folder.c_str(), &attributes) ? ERROR_SUCCESS : ::GetLastError();
}

int Check(const std::vector<std::wstring>& folders) {
  for (const std::wstring& folder : folders) {
    std::wstring why;
    Found found = Judge(folder, &why);
    if (found == Found::kMissing) return kTrusted;
    if (found != Found::kTrusted) {
      Say(why);
      return found == Found::kFailed ? kFailed : kUntrusted;
    }
  }
  return kTrusted;
}

int Make(const std::vector<std::wstring>& folders) {
  for (const std::wstring& folder : folders) {
    std::wstring why;
    Found found = Judge(folder, &why);
    if (found == Found::kMissing) {
      DWORD error = MakeProtected(folder);
      // Made by someone else in between: judged like any folder that was there.
      if (error == ERROR_ALREADY_EXISTS) found = Judge(folder, &why);
      else if (error != ERROR_SUCCESS) found = (why = ErrorText(L"be made", folder, error), Found::kFailed);
      else found = Found::kTrusted;
    }
    if (found != Found::kTrusted) {
      Say(why);
      return found == Found::kFailed ? kFailed : kUntrusted;
    }
  }
  return kTrusted;
}

// Lets this process set any owner and open what another owner locked it out of (an
// administrator holds these privileges, off until asked for).
void EnableTakeOverPrivileges() {
  HANDLE opened = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &opened)) return;
  win::ScopedHandle token(opened);
  for (const wchar_t* name : {SE_TAKE_OWNERSHIP_NAME, SE_RESTORE_NAME, SE_BACKUP_NAME}) {
    TOKEN_PRIVILEGES privileges = {1, {{{0, 0}, SE_PRIVILEGE_ENABLED}}};
    if (::LookupPrivilegeValueW(nullptr, name, &privileges.Privileges[0].Luid)) {
      ::AdjustTokenPrivileges(token.Get(), FALSE, &privileges, 0, nullptr, nullptr);
    }
  }
}

// Removes the link at path itself, never what it points to, and says so.
DWORD RemoveLink(const std::wstring& path, DWORD attributes) {
  BOOL removed = (attributes & FILE_ATTRIBUTE_DIRECTORY) ? ::RemoveDirectoryW(path.c_str())
                                                         : ::DeleteFileW(path.c_str());
  if (!removed) return ::GetLastError();
  Say(L"removed the link " + path);
  return ERROR_SUCCESS;
}

// Gives path (a file or folder, opened as itself, so that a link put in its place in the
// meantime is not followed) the protected owner and permissions, and everything in a
// folder the same; links inside are removed. ERROR_SUCCESS, or the first error.
DWORD TakeOver(const std::wstring& path, PSECURITY_DESCRIPTOR descriptor) {
  // Asked twice, by name and by handle: Wine sees a link only by its name.
  DWORD attributes = ::GetFileAttributesW(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    return RemoveLink(path, attributes);
  }
  win::ScopedHandle handle(::CreateFileW(
      path.c_str(), READ_CONTROL | WRITE_DAC | WRITE_OWNER,
      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!handle.IsValid()) return ::GetLastError();
  BY_HANDLE_FILE_INFORMATION information = {};
  if (!::GetFileInformationByHandle(handle.Get(), &information)) return ::GetLastError();
  if (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    handle.Close();
    return RemoveLink(path, information.dwFileAttributes);
  }
  PSID owner = nullptr;
  PACL dacl = nullptr;
  BOOL present = FALSE, defaulted = FALSE;
  ::GetSecurityDescriptorOwner(descriptor, &owner, &defaulted);
  ::GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted);
  DWORD error = ::SetSecurityInfo(handle.Get(), SE_FILE_OBJECT,
                                  OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |
                                      PROTECTED_DACL_SECURITY_INFORMATION,
                                  owner, nullptr, dacl, nullptr);
  handle.Close();
  if (error != ERROR_SUCCESS || !(information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
    return error;
  }
  WIN32_FIND_DATAW entry;
  win::ScopedFind find(::FindFirstFileW((path + L"\\*").c_str(), &entry));
  if (!find.IsValid()) return ::GetLastError();
  do {
    if (std::wcscmp(entry.cFileName, L".") == 0 || std::wcscmp(entry.cFileName, L"..") == 0) continue;
    error = TakeOver(path + L"\\" + entry.cFileName, descriptor);
  } while (error == ERROR_SUCCESS && ::FindNextFileW(find.Get(), &entry));
  return error;
}

int TakeOverPath(const std::vector<std::wstring>& folders) {
  EnableTakeOverPrivileges();
  win::ScopedLocal<PSECURITY_DESCRIPTOR> descriptor = ProtectedDescriptor();
  if (!descriptor.IsValid()) return kFailed;
  int result = kTrusted;
  for (const std::wstring& folder : folders) {
    std::wstring why;
    Found found = Judge(folder, &why);
    DWORD error = ERROR_SUCCESS;
    if (found == Found::kUntrusted) {
      Say(why);
      result = kUntrusted;
      DWORD attributes = ::GetFileAttributesW(folder.c_str());
      if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        error = RemoveLink(folder, attributes);
        found = Found::kMissing;
      } else {
        error = TakeOver(folder, descriptor.Get());
        Say(L"taken over");
      }
    }
    if (error == ERROR_SUCCESS && found == Found::kMissing) error = MakeProtected(folder);
    if (error != ERROR_SUCCESS || found == Found::kFailed) {
      if (found != Found::kFailed) why = ErrorText(L"be made the administrators' own", folder, error);
      Say(why);
      result = kFailed;
      break;
    }
  }
  return result;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3 || argc > 4) return kMisused;
  const std::wstring verb = argv[1];
  const wchar_t* above = argc == 4 ? argv[3] : L"";
  std::vector<std::wstring> folders = FoldersOnPath(argv[2], above);
  if (folders.empty()) return kMisused;
  int result;
  if (verb == L"check") result = Check(folders);
  else if (verb == L"make" && argc == 3) result = Make(folders);
  else if (verb == L"take-over" && argc == 4) result = TakeOverPath(folders);
  else return kMisused;
  // UTF-16, so that every name arrives whole whatever the code page: NSIS's nsExec
  // recognises it, and the bridge reads it as such.
  if (!output.empty()) {
    output += L"\n";
    DWORD written = 0;
    ::WriteFile(::GetStdHandle(STD_OUTPUT_HANDLE), output.data(),
                static_cast<DWORD>(output.size() * sizeof(wchar_t)), &written, nullptr);
  }
  return result;
}
