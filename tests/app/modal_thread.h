// A modal wizard sheet on a thread of its own, driven from the test thread through its
// windows, for tests that show the wizard's pages in their own process.
#pragma once

#include <windows.h>
#include <prsht.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>

#include "tests/support/wizard_driver.h"

namespace tolvane::test {

// Waits while handling this thread's messages: windows of this thread (an owner window)
// must answer the sheet's thread meanwhile.
inline bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs = drive::kDefaultTimeoutMs) {
  return drive::WaitUntil(
      [&] {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
        return done();
      },
      timeoutMs);
}

inline BOOL CALLBACK FindDialogOfThread(HWND window, LPARAM out) {
  wchar_t name[16] = {};
  GetClassNameW(window, name, 16);
  if (IsWindowVisible(window) && std::wstring(name) == L"#32770") {
    *reinterpret_cast<HWND*>(out) = window;
    return FALSE;
  }
  return TRUE;
}

// Runs `show` (which shows a modal sheet) on a thread of its own.
class ModalThread {
 public:
  explicit ModalThread(std::function<void()> show)
      : thread_([this, show] {
          threadId_ = GetCurrentThreadId();
          show();
          done_ = true;
        }) {}
  ~ModalThread() {
    // A test that failed half-way may leave the sheet open: close it as far as it lets us.
    if (!done_) {
      if (HWND sheet = Sheet()) PostMessageW(sheet, PSM_PRESSBUTTON, PSBTN_CANCEL, 0);
      if (!drive::WaitUntil([&] { return done_.load(); }, 5000)) {
        thread_.detach();
        return;
      }
    }
    thread_.join();
  }

  HWND Sheet() const {
    HWND found = nullptr;
    if (threadId_) EnumThreadWindows(threadId_, &FindDialogOfThread, reinterpret_cast<LPARAM>(&found));
    return found;
  }
  drive::Wizard WaitForSheet() const {
    HWND sheet = nullptr;
    PumpUntil([&] { return (sheet = Sheet()) != nullptr; });
    return drive::Wizard(sheet);
  }
  bool WaitClosed() const { return PumpUntil([&] { return done_.load(); }); }
  bool Closed() const { return done_; }

 private:
  std::atomic<DWORD> threadId_{0};
  std::atomic<bool> done_{false};
  std::thread thread_;
};

}  // namespace tolvane::test
