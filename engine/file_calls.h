// Every file-system and registry call by which setup installs, upgrades and uninstalls,
// in one place: the program's own (engine/file_calls.cpp, library tolvane_file_calls) go
// straight to the system. Test builds link tests/engine/file_faults.cpp in place of that
// file, to fail a run at any one of them. The install folder's creation (state/) goes
// through them too.
//
// Each has the system call's result convention: a handle (INVALID_HANDLE_VALUE on
// failure), a BOOL as bool, attributes (INVALID_FILE_ATTRIBUTES), or a registry result
// (0 = success); after a failure GetLastError (or the registry result) says why.
#pragma once

#include <windows.h>
#include <shellapi.h>

#include <string>

namespace tolvane::files {

// --- Files and folders.

// CreateFileW without security attributes or template.
HANDLE Open(const std::wstring& path, DWORD access, DWORD share, DWORD disposition, DWORD attributes);
bool Read(HANDLE file, void* data, DWORD size, DWORD* read);
bool Write(HANDLE file, const void* data, DWORD size, DWORD* written);
bool Flush(HANDLE file);
// MoveFileExW without flags: never over an existing file.
bool Move(const std::wstring& from, const std::wstring& to);
// MoveFileExW(path, null, MOVEFILE_DELAY_UNTIL_REBOOT): removed at the next restart.
bool RemoveAtRestart(const std::wstring& path);
bool Delete(const std::wstring& path);
DWORD Attributes(const std::wstring& path);
bool SetAttributes(const std::wstring& path, DWORD attributes);
bool MakeFolder(const std::wstring& path);  // CreateDirectoryW, default security
bool RemoveFolder(const std::wstring& path);
HANDLE FindFirst(const std::wstring& pattern, WIN32_FIND_DATAW* found);
bool FindNext(HANDLE search, WIN32_FIND_DATAW* found);
// The shell's delete of one file (SHFileOperationW, FO_DELETE, no confirmation, no error
// box, not to the recycle bin); true when the shell reports success.
bool ShellDelete(const std::wstring& path);
// What ShellDelete does, for both of the seam's implementations.
inline bool SystemShellDelete(const std::wstring& path) {
  // The source is a list of names ended by an empty one: the string's own terminator
  // follows the zero added here.
  std::wstring list = path;
  list += L'\0';
  SHFILEOPSTRUCTW operation = {};
  operation.wFunc = FO_DELETE;
  operation.pFrom = list.c_str();
  operation.fFlags = FOF_NOCONFIRMATION | FOF_NOERRORUI;
  return SHFileOperationW(&operation) == 0;
}

// True when a failed call's error means that nothing stands at the path.
inline bool IsGone(DWORD error) { return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND; }

// --- The registry.

// RegCreateKeyExW without class or security attributes, REG_OPTION_NON_VOLATILE.
LONG CreateKey(HKEY parent, const wchar_t* subkey, REGSAM access, HKEY* key);
LONG OpenKey(HKEY parent, const wchar_t* subkey, REGSAM access, HKEY* key);
LONG SetValue(HKEY key, const wchar_t* name, DWORD type, const void* data, DWORD bytes);
// ReadRegistryString (common/registry_string.h).
LONG ReadString(HKEY key, const wchar_t* name, wchar_t* buffer, DWORD capacity);
LONG DeleteValue(HKEY key, const wchar_t* name);
LONG DeleteKey(HKEY parent, const wchar_t* subkey);
LONG EnumKey(HKEY key, DWORD index, wchar_t* name, DWORD* units);
// The number of subkeys and values of a key (RegQueryInfoKeyW).
LONG CountEntries(HKEY key, DWORD* subkeys, DWORD* values);
// Writes the key's changes to disk before it returns (RegFlushKey).
LONG FlushKey(HKEY key);

}  // namespace tolvane::files
