// The program's PostProgress and StopRequested: nothing but the signal itself. Test
// builds link tests/engine/worker_hooks.cpp in place of this file.
#include "engine/worker_signals.h"

namespace tolvane {
namespace {

struct NothingMore {
  static void AfterProgress(int32_t) {}
  static void AtStopPoint(StopPoint, size_t) {}
};

}  // namespace

void PostProgress(const WorkerContext& context, int32_t value, UINT message) {
  PostProgressWith<NothingMore>(context, value, message);
}

bool StopRequested(const WorkerContext& context, StopPoint point, size_t entry) {
  return StopRequestedWith<NothingMore>(context, point, entry);
}

}  // namespace tolvane
