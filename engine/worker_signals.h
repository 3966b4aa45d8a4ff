// The bodies of the worker's two signals to the outside, PostProgress and StopRequested
// (engine/worker.h), written once for every build that has them. `Extra` is what else
// happens at each: nothing in the program (engine/worker_signals.cpp); in test builds,
// a test's own hooks (tests/engine/worker_hooks.cpp, which replaces that file at link
// time). It provides
//   static void AfterProgress(int32_t value);              // after the notice is posted
//   static void AtStopPoint(StopPoint point, size_t entry);  // before the flag is read
#pragma once

#include "engine/worker.h"

namespace tolvane {

template <typename Extra>
void PostProgressWith(const WorkerContext& context, int32_t value, UINT message) {
  if (context.progress) context.progress->store(value, std::memory_order_relaxed);
  // (A notice that cannot be posted only leaves the bar behind: the next one reads the value.)
  PostMessageW(context.window, message, 0, 0);
  Extra::AfterProgress(value);
}

template <typename Extra>
bool StopRequestedWith(const WorkerContext& context, StopPoint point, size_t entry) {
  if (!context.stop) return false;
  Extra::AtStopPoint(point, entry);
  return context.stop->load() != 0;
}

}  // namespace tolvane
