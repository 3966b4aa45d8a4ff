// The engine's file calls with the faults of file_faults.h: linked in place of
// engine/file_calls.cpp (both define the same functions).
#include "tests/engine/file_faults.h"

#include <atomic>
#include <new>

#include "engine/file_calls.h"

namespace tolvane {
namespace {

test::FileFault g_fault = test::FileFault::None;
size_t g_at = 0;
// Counted across the worker and the threads it starts.
std::atomic<size_t> g_calls{0};

// True when this call is to fail; throws for the out-of-memory fault.
bool Faulted(DWORD error) {
  const size_t call = ++g_calls;
  bool fail = false;
  switch (g_fault) {
    case test::FileFault::None: break;
    case test::FileFault::FailOne: fail = call == g_at; break;
    case test::FileFault::EndHere: fail = call >= g_at; break;
    case test::FileFault::OutOfMemory:
      if (call == g_at) throw std::bad_alloc();
      break;
  }
  if (fail) SetLastError(error);
  return fail;
}

}  // namespace

namespace test {

void SetFileFault(FileFault fault, size_t at) {
  g_fault = fault;
  g_at = at;
  g_calls = 0;
}

size_t FileCallCount() { return g_calls; }

}  // namespace test

namespace files {

HANDLE Open(const std::wstring& path, DWORD access, DWORD share, DWORD disposition, DWORD attributes) {
  if (Faulted(ERROR_ACCESS_DENIED)) return INVALID_HANDLE_VALUE;
  return CreateFileW(path.c_str(), access, share, nullptr, disposition, attributes, nullptr);
}

bool Write(HANDLE file, const void* data, DWORD size, DWORD* written) {
  if (Faulted(ERROR_DISK_FULL)) return false;
  return WriteFile(file, data, size, written, nullptr) != FALSE;
}

bool Flush(HANDLE file) { return !Faulted(ERROR_IO_DEVICE) && FlushFileBuffers(file); }

bool Move(const std::wstring& from, const std::wstring& to) {
  return !Faulted(ERROR_ACCESS_DENIED) && MoveFileExW(from.c_str(), to.c_str(), 0);
}

bool Delete(const std::wstring& path) { return !Faulted(ERROR_ACCESS_DENIED) && DeleteFileW(path.c_str()); }

bool SetAttributes(const std::wstring& path, DWORD attributes) {
  return !Faulted(ERROR_ACCESS_DENIED) && SetFileAttributesW(path.c_str(), attributes);
}

bool RemoveFolder(const std::wstring& path) { return !Faulted(ERROR_ACCESS_DENIED) && RemoveDirectoryW(path.c_str()); }

}  // namespace files
}  // namespace tolvane
