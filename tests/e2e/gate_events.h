// The pair of named events behind a gate in a test build of setup.exe: the end-to-end
// test creates them (TestGate); the gated program, finding both, halts at its gate,
// signals "reached" and waits until the test sets "open" (HeldGate).
#pragma once

#include <windows.h>

#include "common/win_owners.h"

namespace tolvane::drive {

// The test's side: creates the events ("reached" auto-reset, "open" manual-reset) and
// opens the gate when it goes, so that a worker is never left waiting.
class TestGate {
 public:
  TestGate(const wchar_t* reachedName, const wchar_t* openName)
      : reached_(CreateEventW(nullptr, FALSE, FALSE, reachedName)), open_(CreateEventW(nullptr, TRUE, FALSE, openName)) {}
  ~TestGate() { Open(); }
  TestGate(const TestGate&) = delete;
  TestGate& operator=(const TestGate&) = delete;

  bool Valid() const { return reached_ && open_; }
  bool WaitReached(DWORD timeoutMs = 60000) const {
    return WaitForSingleObject(reached_.get(), timeoutMs) == WAIT_OBJECT_0;
  }
  void Open() const {
    if (open_) SetEvent(open_.get());
  }

 private:
  UniqueHandle reached_;
  UniqueHandle open_;
};

// The gated program's side: armed only when the test created both events.
class HeldGate {
 public:
  HeldGate(const wchar_t* reachedName, const wchar_t* openName)
      : reached_(OpenEventW(EVENT_MODIFY_STATE, FALSE, reachedName)), open_(OpenEventW(SYNCHRONIZE, FALSE, openName)) {}
  HeldGate(const HeldGate&) = delete;
  HeldGate& operator=(const HeldGate&) = delete;

  bool Armed() const { return reached_ && open_; }
  // Reports the gate reached and waits for it to open; bounded, so that a test that died
  // never leaves the worker hanging.
  void Hold() const {
    SetEvent(reached_.get());
    WaitForSingleObject(open_.get(), 120000);
  }

 private:
  UniqueHandle reached_;
  UniqueHandle open_;
};

}  // namespace tolvane::drive
