// Faults in the engine's file calls (engine/file_calls.h), for tests: the n-th call from
// now fails, or every call from the n-th on fails as if the process had ended there, or
// the n-th call throws as if memory had run out. They exist only in programs that link
// tests/engine/file_faults.cpp (the tolvane_file_faults object library) in place of the
// program's engine/file_calls.cpp. Set them only while no worker runs.
#pragma once

#include <cstddef>

namespace tolvane::test {

enum class FileFault { None, FailOne, EndHere, OutOfMemory };

// Counts calls from 1 again; `at` is the call the fault starts at.
void SetFileFault(FileFault fault, size_t at = 0);
// Calls made since the last SetFileFault.
size_t FileCallCount();

}  // namespace tolvane::test
