// The program's file and registry calls: the system's, nothing more. Test builds link
// tests/engine/file_faults.cpp in place of this file.
#include "engine/file_calls.h"

#include "common/registry_string.h"

namespace tolvane::files {

HANDLE Open(const std::wstring& path, DWORD access, DWORD share, DWORD disposition, DWORD attributes) {
  return CreateFileW(path.c_str(), access, share, nullptr, disposition, attributes, nullptr);
}

bool Read(HANDLE file, void* data, DWORD size, DWORD* read) {
  return ReadFile(file, data, size, read, nullptr) != FALSE;
}

bool Write(HANDLE file, const void* data, DWORD size, DWORD* written) {
  return WriteFile(file, data, size, written, nullptr) != FALSE;
}

bool Flush(HANDLE file) { return FlushFileBuffers(file) != FALSE; }

bool Move(const std::wstring& from, const std::wstring& to) {
  return MoveFileExW(from.c_str(), to.c_str(), 0) != FALSE;
}

bool RemoveAtRestart(const std::wstring& path) {
  return MoveFileExW(path.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT) != FALSE;
}

bool Delete(const std::wstring& path) { return DeleteFileW(path.c_str()) != FALSE; }

DWORD Attributes(const std::wstring& path) { return GetFileAttributesW(path.c_str()); }

bool SetAttributes(const std::wstring& path, DWORD attributes) {
  return SetFileAttributesW(path.c_str(), attributes) != FALSE;
}

bool MakeFolder(const std::wstring& path) { return CreateDirectoryW(path.c_str(), nullptr) != FALSE; }

bool RemoveFolder(const std::wstring& path) { return RemoveDirectoryW(path.c_str()) != FALSE; }

HANDLE FindFirst(const std::wstring& pattern, WIN32_FIND_DATAW* found) {
  return FindFirstFileW(pattern.c_str(), found);
}

bool FindNext(HANDLE search, WIN32_FIND_DATAW* found) { return FindNextFileW(search, found) != FALSE; }

bool ShellDelete(const std::wstring& path) { return SystemShellDelete(path); }

LONG CreateKey(HKEY parent, const wchar_t* subkey, REGSAM access, HKEY* key) {
  return RegCreateKeyExW(parent, subkey, 0, nullptr, REG_OPTION_NON_VOLATILE, access, nullptr, key, nullptr);
}

LONG OpenKey(HKEY parent, const wchar_t* subkey, REGSAM access, HKEY* key) {
  return RegOpenKeyExW(parent, subkey, 0, access, key);
}

LONG SetValue(HKEY key, const wchar_t* name, DWORD type, const void* data, DWORD bytes) {
  return RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), bytes);
}

LONG ReadString(HKEY key, const wchar_t* name, wchar_t* buffer, DWORD capacity) {
  return ReadRegistryString(key, name, buffer, capacity);
}

LONG DeleteValue(HKEY key, const wchar_t* name) { return RegDeleteValueW(key, name); }

LONG DeleteKey(HKEY parent, const wchar_t* subkey) { return RegDeleteKeyW(parent, subkey); }

LONG EnumKey(HKEY key, DWORD index, wchar_t* name, DWORD* units) {
  return RegEnumKeyExW(key, index, name, units, nullptr, nullptr, nullptr, nullptr);
}

LONG CountEntries(HKEY key, DWORD* subkeys, DWORD* values) {
  return RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, subkeys, nullptr, nullptr, values, nullptr, nullptr, nullptr,
                          nullptr);
}

LONG FlushKey(HKEY key) { return RegFlushKey(key); }

}  // namespace tolvane::files
