// Linked into the gated test build of setup.exe only.
#include "tests/e2e/install_gate.h"

#include <windows.h>

#include "engine/worker.h"

namespace {

class InstallGate {
 public:
  InstallGate()
      : reached_(OpenEventW(EVENT_MODIFY_STATE, FALSE, tolvane::drive::kGateReached)),
        open_(OpenEventW(SYNCHRONIZE, FALSE, tolvane::drive::kGateOpen)) {
    if (reached_ && open_) tolvane::SetStopPointHook(&InstallGate::AtStopPoint, this);
  }
  ~InstallGate() {
    tolvane::SetStopPointHook(nullptr, nullptr);
    if (reached_) CloseHandle(reached_);
    if (open_) CloseHandle(open_);
  }
  InstallGate(const InstallGate&) = delete;
  InstallGate& operator=(const InstallGate&) = delete;

 private:
  static void AtStopPoint(tolvane::StopPoint point, size_t entry, void* data) {
    if (point != tolvane::StopPoint::BeforeEntry || entry != tolvane::drive::kGateEntry) return;
    auto* gate = static_cast<InstallGate*>(data);
    SetEvent(gate->reached_);
    // Bounded, so that a test that died never leaves the worker hanging.
    WaitForSingleObject(gate->open_, 120000);
  }

  HANDLE reached_;
  HANDLE open_;
};

InstallGate g_gate;

}  // namespace
