// Loading DLLs from the system folder only. A setup program is often started from a
// folder that others write into (Downloads) and runs with administrator rights; Windows
// looks for a DLL that is not a KnownDLL in the program's own folder first, so a DLL
// planted there would run with those rights. Every DLL the program loads itself goes
// through here, and the program imports nothing outside the KnownDLLs (and comctl32,
// which the manifest binds side by side).
#pragma once

#include <windows.h>

#include <cwchar>

#include "common/win_owners.h"

namespace tolvane {

#ifndef LOAD_LIBRARY_SEARCH_SYSTEM32
#define LOAD_LIBRARY_SEARCH_SYSTEM32 0x00000800
#endif

// Makes the system folder the only default place for later loads, where the system can
// (Windows 8 and later, Windows 7 and Vista with KB2533623); elsewhere the current
// folder at least leaves the search. The first thing the program does.
inline void RestrictDllSearch() {
  using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
  const HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  const auto restrict = kernel ? reinterpret_cast<SetDefaultDllDirectoriesFn>(reinterpret_cast<void*>(
                                     GetProcAddress(kernel, "SetDefaultDllDirectories")))
                               : nullptr;
  if (!restrict || !restrict(LOAD_LIBRARY_SEARCH_SYSTEM32)) SetDllDirectoryW(L"");
}

// `name` (a bare file name such as L"VERSION.dll") from the system folder; null when it
// cannot be loaded. Systems that do not know LOAD_LIBRARY_SEARCH_SYSTEM32 refuse it with
// ERROR_INVALID_PARAMETER: there the full path of the system folder is given instead,
// never the bare name.
inline HMODULE LoadSystemLibrary(const wchar_t* name) {
  if (HMODULE module = LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32)) return module;
  if (GetLastError() != ERROR_INVALID_PARAMETER) return nullptr;
  wchar_t path[MAX_PATH];
  const UINT folder = GetSystemDirectoryW(path, MAX_PATH);
  const size_t length = wcslen(name);
  if (folder == 0 || folder + 1 + length >= MAX_PATH) return nullptr;
  path[folder] = L'\\';
  wmemcpy(path + folder + 1, name, length + 1);
  // The DLL's own imports are then looked for beside it, in the system folder.
  return LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

// A system DLL and the functions the program takes from it.
class SystemLibrary {
 public:
  explicit SystemLibrary(const wchar_t* name) : module_(LoadSystemLibrary(name)) {}
  explicit operator bool() const { return static_cast<bool>(module_); }
  HMODULE get() const { return module_.get(); }

  // The exported function `name` as a pointer of type F; null when the DLL or the
  // function is missing.
  template <typename F>
  F Function(const char* name) const {
    return module_ ? reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module_.get(), name))) : nullptr;
  }

 private:
  UniqueModule module_;
};

}  // namespace tolvane
