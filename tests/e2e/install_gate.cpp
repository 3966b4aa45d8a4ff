// Linked into the gated test build of setup.exe only.
#include "tests/e2e/install_gate.h"

#include "engine/worker.h"
#include "tests/engine/worker_hooks.h"
#include "tests/e2e/gate_events.h"

namespace {

class InstallGate {
 public:
  InstallGate() {
    if (events_.Armed()) tolvane::SetStopPointHook(&InstallGate::AtStopPoint, this);
  }
  ~InstallGate() { tolvane::SetStopPointHook(nullptr, nullptr); }
  InstallGate(const InstallGate&) = delete;
  InstallGate& operator=(const InstallGate&) = delete;

 private:
  static void AtStopPoint(tolvane::StopPoint point, size_t entry, void* data) {
    if (point != tolvane::StopPoint::BeforeEntry || entry != tolvane::drive::kGateEntry) return;
    static_cast<InstallGate*>(data)->events_.Hold();
  }

  tolvane::drive::HeldGate events_{tolvane::drive::kGateReached, tolvane::drive::kGateOpen};
};

InstallGate g_gate;

}  // namespace
