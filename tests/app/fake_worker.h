// A stand-in for the engine's worker threads: a real thread, started by a progress page
// through the page's start operation, that does what the test tells it, one step at a
// time, and talks to the page only as a worker does (progress value + posted message,
// sent done and error messages, the stop flag).
#pragma once

#include <windows.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>

#include "app/progress_pages.h"
#include "app/setup_pages.h"
#include "common/win_owners.h"

namespace tolvane::test {

class FakeWorker {
 public:
  FakeWorker() = default;
  ~FakeWorker();  // ends the thread (waits for it a while)
  FakeWorker(const FakeWorker&) = delete;
  FakeWorker& operator=(const FakeWorker&) = delete;

  // Start operations for the pages; they use the worker that Use() made current.
  static HANDLE StartInstall(HWND page, std::atomic<int32_t>* progress, std::atomic<uint8_t>* stopFlag);
  static HANDLE StartUninstall(HWND page, std::atomic<int32_t>* progress);
  static HANDLE StartUpgrade(HWND page, std::atomic<int32_t>* progress);
  // Makes this the worker that the next start of each kind uses (null: none).
  static void UseForInstall(FakeWorker* worker);
  static void UseForUninstall(FakeWorker* worker);
  static void UseForUpgrade(FakeWorker* worker);

  // The next start fails: the page gets no thread.
  void RefuseStart() { refuse_ = true; }

  // Steps, run in order on the worker thread.
  void Progress(int32_t value, UINT message);  // writes the value, posts the message
  void Post(UINT message);                      // posts a message with nothing else
  void SendDone();
  void SendError(const wchar_t* text);          // text may be null
  void EndWhenStopped();                         // polls the stop flag, then ends
  void End();

  // Waits until every step given so far has been carried out.
  bool WaitIdle(DWORD timeoutMs = 20000);
  // Whether the thread was started / is still running.
  bool Started() const { return started_; }
  bool Running() const;
  bool WaitEnded(DWORD timeoutMs = 20000) const;

  HWND Page() const { return page_; }
  uint8_t StopFlag() const { return stop_ ? stop_->load() : 0; }

 private:
  HANDLE Start(HWND page, std::atomic<int32_t>* progress, std::atomic<uint8_t>* stop);
  static unsigned __stdcall Run(void* self);
  void Queue(std::function<bool()> step);  // a step returns false to end the thread

  bool refuse_ = false;
  bool started_ = false;
  HWND page_ = nullptr;
  std::atomic<int32_t>* progress_ = nullptr;
  std::atomic<uint8_t>* stop_ = nullptr;
  std::wstring errorText_;
  UniqueHandle thread_;  // our own handle; the page owns the one it was given

  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::function<bool()>> steps_;
  bool busy_ = false;
};

// All eleven pages of the wizard, the progress pages with fake workers.
struct PageSet {
  CWelcomePage welcome;
  CSetupType setupType;
  CLicensePage license;
  CUserInfoPage userInfo;
  CSelectFolderPage folder;
  CProgressPage progress{&FakeWorker::StartInstall};
  CCompletionPage completion;
  CUninstallPage uninstall{&FakeWorker::StartUninstall};
  CUninstallCompletionPage uninstallCompletion;
  CUpgradePage upgrade{&FakeWorker::StartUpgrade};
  CUpgradeCompletionPage upgradeCompletion;

  template <typename Sheet>
  bool AddTo(Sheet& sheet) {
    CWizard97PageWindow* pages[] = {&welcome, &setupType, &license, &userInfo, &folder, &progress,
                                    &completion, &uninstall, &uninstallCompletion, &upgrade, &upgradeCompletion};
    for (CWizard97PageWindow* page : pages) {
      if (!sheet.AddPage(*page)) return false;
    }
    return true;
  }
};

}  // namespace tolvane::test
