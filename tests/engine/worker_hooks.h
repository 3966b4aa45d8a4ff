// Hooks on the worker thread for tests: a test acts at one exact stop point of the
// install, or right after a progress notice. They exist only in programs that link
// tests/engine/worker_hooks.cpp (the tolvane_worker_hooks object library), which takes
// the place of the program's engine/worker_signals.cpp; setup.exe has none of them. Set
// them only while no worker runs; null removes a hook.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/worker.h"

namespace tolvane {

// Called on the worker thread just before the stop flag is read. `entry` is the index
// of the manifest entry about to be handled (BeforeEntry only).
using StopPointHook = void (*)(StopPoint point, size_t entry, void* data);
void SetStopPointHook(StopPointHook hook, void* data);

// Called on the worker thread right after each progress notice is posted, for example
// to wait until the page has read it.
using ProgressHook = void (*)(int32_t value, void* data);
void SetProgressHook(ProgressHook hook, void* data);

}  // namespace tolvane
