// The worker's PostProgress and StopRequested with the tests' hooks: linked in place of
// engine/worker_signals.cpp (both define the same two functions; a program that pulled
// in both would not link).
#include "tests/engine/worker_hooks.h"

#include "engine/worker_signals.h"

namespace tolvane {
namespace {

StopPointHook g_stopHook = nullptr;
void* g_stopHookData = nullptr;
ProgressHook g_progressHook = nullptr;
void* g_progressHookData = nullptr;

struct TestHooks {
  static void AfterProgress(int32_t value) {
    if (g_progressHook) g_progressHook(value, g_progressHookData);
  }
  static void AtStopPoint(StopPoint point, size_t entry) {
    if (g_stopHook) g_stopHook(point, entry, g_stopHookData);
  }
};

}  // namespace

void PostProgress(const WorkerContext& context, int32_t value, UINT message) {
  PostProgressWith<TestHooks>(context, value, message);
}

bool StopRequested(const WorkerContext& context, StopPoint point, size_t entry) {
  return StopRequestedWith<TestHooks>(context, point, entry);
}

void SetStopPointHook(StopPointHook hook, void* data) {
  g_stopHook = hook;
  g_stopHookData = data;
}

void SetProgressHook(ProgressHook hook, void* data) {
  g_progressHook = hook;
  g_progressHookData = data;
}

}  // namespace tolvane
