// The file-system calls by which an extraction changes the install folder, in one place:
// the program's own (engine/file_calls.cpp) go straight to the system. Test builds link
// tests/engine/file_faults.cpp in place of that file, to fail a run at any one of them.
#pragma once

#include <windows.h>

#include <string>

namespace tolvane::files {

// CreateFileW without security attributes or template; INVALID_HANDLE_VALUE on failure.
HANDLE Open(const std::wstring& path, DWORD access, DWORD share, DWORD disposition, DWORD attributes);
bool Write(HANDLE file, const void* data, DWORD size, DWORD* written);
bool Flush(HANDLE file);
// MoveFileExW without flags: never over an existing file.
bool Move(const std::wstring& from, const std::wstring& to);
bool Delete(const std::wstring& path);
bool SetAttributes(const std::wstring& path, DWORD attributes);
bool RemoveFolder(const std::wstring& path);

}  // namespace tolvane::files
