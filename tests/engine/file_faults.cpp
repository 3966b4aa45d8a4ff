// The engine's file and registry calls with the faults of file_faults.h: linked in place
// of engine/file_calls.cpp (both define the same functions).
#include "tests/engine/file_faults.h"

#include <atomic>
#include <map>
#include <mutex>
#include <new>

#include "common/registry_string.h"
#include "engine/file_calls.h"

namespace tolvane {
namespace {

test::FileFault g_fault = test::FileFault::None;
size_t g_at = 0;
// Counted across the worker and the threads it starts.
std::atomic<size_t> g_calls{0};

std::mutex g_logMutex;
bool g_logging = false;
std::vector<test::FileCall> g_log;
std::map<HANDLE, std::wstring> g_opened;  // while logging: the path of each handle
DWORD g_flushDelay = 0;

void Log(const char* call, const std::wstring& path) {
  std::lock_guard<std::mutex> lock(g_logMutex);
  if (g_logging) g_log.push_back({call, path, GetCurrentThreadId()});
}

// The path a handle was opened with.
std::wstring PathOf(HANDLE file) {
  std::lock_guard<std::mutex> lock(g_logMutex);
  const auto found = g_opened.find(file);
  return found == g_opened.end() ? std::wstring() : found->second;
}

// Logs the call; true when it is to fail; throws for the out-of-memory fault.
bool Faulted(const char* name, const std::wstring& path) {
  Log(name, path);
  const size_t call = ++g_calls;
  switch (g_fault) {
    case test::FileFault::None: return false;
    case test::FileFault::FailOne: return call == g_at;
    case test::FileFault::EndHere: return call >= g_at;
    case test::FileFault::OutOfMemory:
      if (call == g_at) throw std::bad_alloc();
      return false;
  }
  return false;
}

// The same for calls with a Win32 result: `error` is then the last error.
bool Faulted(const char* name, const std::wstring& path, DWORD error) {
  if (!Faulted(name, path)) return false;
  SetLastError(error);
  return true;
}

}  // namespace

namespace test {

void SetFileFault(FileFault fault, size_t at) {
  g_fault = fault;
  g_at = at;
  g_calls = 0;
}

size_t FileCallCount() { return g_calls; }

void SetFlushDelay(unsigned long ms) { g_flushDelay = ms; }

void LogFileCalls(bool on) {
  std::lock_guard<std::mutex> lock(g_logMutex);
  g_logging = on;
  g_log.clear();
  g_opened.clear();
}

std::vector<FileCall> LoggedFileCalls() {
  std::lock_guard<std::mutex> lock(g_logMutex);
  return g_log;
}

}  // namespace test

namespace files {

HANDLE Open(const std::wstring& path, DWORD access, DWORD share, DWORD disposition, DWORD attributes) {
  if (Faulted("Open", path, ERROR_ACCESS_DENIED)) return INVALID_HANDLE_VALUE;
  HANDLE file = CreateFileW(path.c_str(), access, share, nullptr, disposition, attributes, nullptr);
  const DWORD error = GetLastError();
  {
    std::lock_guard<std::mutex> lock(g_logMutex);
    if (g_logging && file != INVALID_HANDLE_VALUE) g_opened[file] = path;
  }
  SetLastError(error);
  return file;
}

bool Read(HANDLE file, void* data, DWORD size, DWORD* read) {
  return !Faulted("Read", PathOf(file), ERROR_READ_FAULT) && ReadFile(file, data, size, read, nullptr);
}

bool Write(HANDLE file, const void* data, DWORD size, DWORD* written) {
  return !Faulted("Write", PathOf(file), ERROR_DISK_FULL) && WriteFile(file, data, size, written, nullptr);
}

bool Flush(HANDLE file) {
  if (g_flushDelay) Sleep(g_flushDelay);
  return !Faulted("Flush", PathOf(file), ERROR_IO_DEVICE) && FlushFileBuffers(file);
}

bool Move(const std::wstring& from, const std::wstring& to) {
  return !Faulted("Move", from, ERROR_ACCESS_DENIED) && MoveFileExW(from.c_str(), to.c_str(), 0);
}

bool RemoveAtRestart(const std::wstring& path) {
  return !Faulted("RemoveAtRestart", path, ERROR_ACCESS_DENIED) &&
         MoveFileExW(path.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
}

bool Delete(const std::wstring& path) {
  return !Faulted("Delete", path, ERROR_ACCESS_DENIED) && DeleteFileW(path.c_str());
}

DWORD Attributes(const std::wstring& path) {
  return Faulted("Attributes", path, ERROR_ACCESS_DENIED) ? INVALID_FILE_ATTRIBUTES : GetFileAttributesW(path.c_str());
}

bool SetAttributes(const std::wstring& path, DWORD attributes) {
  return !Faulted("SetAttributes", path, ERROR_ACCESS_DENIED) && SetFileAttributesW(path.c_str(), attributes);
}

bool MakeFolder(const std::wstring& path) {
  return !Faulted("MakeFolder", path, ERROR_ACCESS_DENIED) && CreateDirectoryW(path.c_str(), nullptr);
}

bool RemoveFolder(const std::wstring& path) {
  return !Faulted("RemoveFolder", path, ERROR_ACCESS_DENIED) && RemoveDirectoryW(path.c_str());
}

HANDLE FindFirst(const std::wstring& pattern, WIN32_FIND_DATAW* found) {
  return Faulted("FindFirst", pattern, ERROR_ACCESS_DENIED) ? INVALID_HANDLE_VALUE
                                                            : FindFirstFileW(pattern.c_str(), found);
}

bool FindNext(HANDLE search, WIN32_FIND_DATAW* found) {
  return !Faulted("FindNext", {}, ERROR_ACCESS_DENIED) && FindNextFileW(search, found);
}

bool ShellDelete(const std::wstring& path) { return !Faulted("ShellDelete", path) && SystemShellDelete(path); }

LONG CreateKey(HKEY parent, const wchar_t* subkey, REGSAM access, HKEY* key) {
  if (Faulted("CreateKey", subkey)) return ERROR_ACCESS_DENIED;
  return RegCreateKeyExW(parent, subkey, 0, nullptr, REG_OPTION_NON_VOLATILE, access, nullptr, key, nullptr);
}

LONG OpenKey(HKEY parent, const wchar_t* subkey, REGSAM access, HKEY* key) {
  return Faulted("OpenKey", subkey) ? ERROR_ACCESS_DENIED : RegOpenKeyExW(parent, subkey, 0, access, key);
}

LONG SetValue(HKEY key, const wchar_t* name, DWORD type, const void* data, DWORD bytes) {
  return Faulted("SetValue", name ? name : L"")
             ? ERROR_ACCESS_DENIED
             : RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), bytes);
}

LONG ReadString(HKEY key, const wchar_t* name, wchar_t* buffer, DWORD capacity) {
  return Faulted("ReadString", name ? name : L"") ? ERROR_ACCESS_DENIED
                                                  : ReadRegistryString(key, name, buffer, capacity);
}

LONG DeleteValue(HKEY key, const wchar_t* name) {
  return Faulted("DeleteValue", name ? name : L"") ? ERROR_ACCESS_DENIED : RegDeleteValueW(key, name);
}

LONG DeleteKey(HKEY parent, const wchar_t* subkey) {
  return Faulted("DeleteKey", subkey) ? ERROR_ACCESS_DENIED : RegDeleteKeyW(parent, subkey);
}

LONG EnumKey(HKEY key, DWORD index, wchar_t* name, DWORD* units) {
  return Faulted("EnumKey", {}) ? ERROR_ACCESS_DENIED
                                : RegEnumKeyExW(key, index, name, units, nullptr, nullptr, nullptr, nullptr);
}

LONG CountEntries(HKEY key, DWORD* subkeys, DWORD* values) {
  if (Faulted("CountEntries", {})) return ERROR_ACCESS_DENIED;
  return RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, subkeys, nullptr, nullptr, values, nullptr, nullptr, nullptr,
                          nullptr);
}

LONG FlushKey(HKEY key) { return Faulted("FlushKey", {}) ? ERROR_ACCESS_DENIED : RegFlushKey(key); }

}  // namespace files
}  // namespace tolvane
