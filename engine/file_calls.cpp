// The program's file calls: the system's, nothing more. Test builds link
// tests/engine/file_faults.cpp in place of this file.
#include "engine/file_calls.h"

namespace tolvane::files {

HANDLE Open(const std::wstring& path, DWORD access, DWORD share, DWORD disposition, DWORD attributes) {
  return CreateFileW(path.c_str(), access, share, nullptr, disposition, attributes, nullptr);
}

bool Write(HANDLE file, const void* data, DWORD size, DWORD* written) {
  return WriteFile(file, data, size, written, nullptr) != FALSE;
}

bool Flush(HANDLE file) { return FlushFileBuffers(file) != FALSE; }

bool Move(const std::wstring& from, const std::wstring& to) { return MoveFileExW(from.c_str(), to.c_str(), 0) != FALSE; }

bool Delete(const std::wstring& path) { return DeleteFileW(path.c_str()) != FALSE; }

bool SetAttributes(const std::wstring& path, DWORD attributes) {
  return SetFileAttributesW(path.c_str(), attributes) != FALSE;
}

bool RemoveFolder(const std::wstring& path) { return RemoveDirectoryW(path.c_str()) != FALSE; }

}  // namespace tolvane::files
