// Owners of what Windows hands out and wants back: a kernel handle, a loaded module, a
// LocalAlloc block. Each owner closes what it holds when it goes, moves but never copies,
// and hands its value on with Take(), so every path out of a function closes exactly once.
#pragma once

#include <windows.h>

namespace win {

// Traits name the value's type, its empty value, what counts as valid, and how it is
// given back.
template <typename Traits>
class ScopedOwner {
 public:
  using Value = typename Traits::Value;

  ScopedOwner() = default;
  explicit ScopedOwner(Value value) { Set(value); }
  ScopedOwner(ScopedOwner&& other) noexcept : value_(other.Take()) {}
  ScopedOwner& operator=(ScopedOwner&& other) noexcept {
    if (this != &other) Set(other.Take());
    return *this;
  }
  ScopedOwner(const ScopedOwner&) = delete;
  ScopedOwner& operator=(const ScopedOwner&) = delete;
  ~ScopedOwner() { Close(); }

  bool IsValid() const { return Traits::IsValid(value_); }
  // The value, or the empty one: never an invalid value of another spelling.
  Value Get() const { return value_; }

  // Closes what is held and holds `value`, when valid.
  void Set(Value value) {
    Close();
    if (Traits::IsValid(value)) value_ = value;
  }

  // Hands the value on; the owner is empty afterwards.
  Value Take() {
    const Value value = value_;
    value_ = Traits::Empty();
    return value;
  }

  // Closing keeps the caller's last error, so a failure can still be read after cleanup.
  void Close() {
    if (!IsValid()) return;
    const DWORD error = ::GetLastError();
    Traits::Close(Take());
    ::SetLastError(error);
  }

 private:
  Value value_ = Traits::Empty();
};

// A kernel handle: Windows spells "none" both ways, by function (CreateFileW and
// CreateToolhelp32Snapshot answer INVALID_HANDLE_VALUE, OpenProcess null).
struct HandleTraits {
  using Value = HANDLE;
  static Value Empty() { return nullptr; }
  static bool IsValid(Value value) { return value != nullptr && value != INVALID_HANDLE_VALUE; }
  static void Close(Value value) { ::CloseHandle(value); }
};
using ScopedHandle = ScopedOwner<HandleTraits>;

// A directory search (FindFirstFileW), which FindClose ends, not CloseHandle.
struct FindTraits {
  using Value = HANDLE;
  static Value Empty() { return INVALID_HANDLE_VALUE; }
  static bool IsValid(Value value) { return value != nullptr && value != INVALID_HANDLE_VALUE; }
  static void Close(Value value) { ::FindClose(value); }
};
using ScopedFind = ScopedOwner<FindTraits>;

struct ModuleTraits {
  using Value = HMODULE;
  static Value Empty() { return nullptr; }
  static bool IsValid(Value value) { return value != nullptr; }
  static void Close(Value value) { ::FreeLibrary(value); }
};
using ScopedModule = ScopedOwner<ModuleTraits>;

// Memory that Windows allocated for the caller with LocalAlloc (argument vectors, security
// descriptors and their text).
template <typename Pointer>
struct LocalTraits {
  using Value = Pointer;
  static Value Empty() { return nullptr; }
  static bool IsValid(Value value) { return value != nullptr; }
  static void Close(Value value) { ::LocalFree(value); }
};
template <typename Pointer>
using ScopedLocal = ScopedOwner<LocalTraits<Pointer>>;

}  // namespace win
