// Linked into the uninstall-gated test build of setup.exe only.
#include "tests/e2e/uninstall_gate.h"

#include "engine/worker.h"
#include "tests/engine/worker_hooks.h"
#include "tests/e2e/gate_events.h"

namespace {

class UninstallGate {
 public:
  UninstallGate() {
    if (events_.Armed()) tolvane::SetProgressHook(&UninstallGate::AfterProgress, this);
  }
  ~UninstallGate() { tolvane::SetProgressHook(nullptr, nullptr); }
  UninstallGate(const UninstallGate&) = delete;
  UninstallGate& operator=(const UninstallGate&) = delete;

 private:
  static void AfterProgress(int32_t, void* data) {
    auto* gate = static_cast<UninstallGate*>(data);
    if (gate->passed_) return;
    gate->passed_ = true;
    gate->events_.Hold();
  }

  tolvane::drive::HeldGate events_{tolvane::drive::kUninstallGateReached, tolvane::drive::kUninstallGateOpen};
  bool passed_ = false;
};

UninstallGate g_gate;

}  // namespace
