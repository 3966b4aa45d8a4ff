// Faults in the engine's file and registry calls (engine/file_calls.h), for tests: the
// n-th call from now fails, or every call from the n-th on fails as if the process had
// ended there, or the n-th call throws as if memory had run out. The calls can also be
// logged, in the order they are made. They exist only in programs that link
// tests/engine/file_faults.cpp (the tolvane_file_faults object library) in place of the
// program's engine/file_calls.cpp. Set them only while no worker runs.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace tolvane::test {

enum class FileFault { None, FailOne, EndHere, OutOfMemory };

// Counts calls from 1 again; `at` is the call the fault starts at.
void SetFileFault(FileFault fault, size_t at = 0);
// Calls made since the last SetFileFault.
size_t FileCallCount();

// One logged call: its name in engine/file_calls.h ("Open", "Flush", ...) and the path,
// registry key or value name it was about (for calls on a file handle, the path the
// handle was opened with while logging).
struct FileCall {
  std::string call;
  std::wstring path;
  unsigned long thread;  // the thread that made it
};
// A slow disk: every Flush takes at least this long (0: as the system takes).
void SetFlushDelay(unsigned long ms);
// Starts logging afresh (or stops it), and hands over what was logged.
void LogFileCalls(bool on);
std::vector<FileCall> LoggedFileCalls();

}  // namespace tolvane::test
