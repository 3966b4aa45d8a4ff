// Linked into the uninstall-gated test build of setup.exe only.
#include "tests/e2e/uninstall_gate.h"

#include <windows.h>

#include "engine/worker.h"

namespace {

class UninstallGate {
 public:
  UninstallGate()
      : reached_(OpenEventW(EVENT_MODIFY_STATE, FALSE, tolvane::drive::kUninstallGateReached)),
        open_(OpenEventW(SYNCHRONIZE, FALSE, tolvane::drive::kUninstallGateOpen)) {
    if (reached_ && open_) tolvane::SetProgressHook(&UninstallGate::AfterProgress, this);
  }
  ~UninstallGate() {
    tolvane::SetProgressHook(nullptr, nullptr);
    if (reached_) CloseHandle(reached_);
    if (open_) CloseHandle(open_);
  }
  UninstallGate(const UninstallGate&) = delete;
  UninstallGate& operator=(const UninstallGate&) = delete;

 private:
  static void AfterProgress(int32_t, void* data) {
    auto* gate = static_cast<UninstallGate*>(data);
    if (gate->passed_) return;
    gate->passed_ = true;
    SetEvent(gate->reached_);
    // Bounded, so that a test that died never leaves the worker hanging.
    WaitForSingleObject(gate->open_, 120000);
  }

  HANDLE reached_;
  HANDLE open_;
  bool passed_ = false;
};

UninstallGate g_gate;

}  // namespace
