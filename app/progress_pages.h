// The pages that run the work (install, uninstall, upgrade) and the pages that end it.
//
// Each progress page starts one worker thread when it becomes active and follows it
// through the worker's messages: progress (the page reads its progress value), the end
// (the page presses Next itself) and, for install and upgrade, an error (its text is
// shown and the wizard closes). The worker gets pointers to the page's members, which
// live as long as the page object, i.e. until the program ends. The three pages are one
// class; a small policy says how each treats Cancel, progress and the end.
#pragma once

#include <atomic>
#include <cstdint>

#include "app/wizard97.h"
#include "common/win_owners.h"

// How a page starts its worker: the engine's start operations in the program, others in
// tests. Each returns the thread's handle, null when no thread could be started.
using InstallWorkerStart = HANDLE (*)(HWND page, std::atomic<int32_t>* progress, std::atomic<uint8_t>* stopFlag);
using WorkerStart = HANDLE (*)(HWND page, std::atomic<int32_t>* progress);

// What differs between the progress pages.
struct ProgressPolicy {
  enum class Cancel : uint8_t {
    AskToStop,   // a question; Yes stops the worker and closes the wizard (install)
    Refuse,      // never while the worker runs (uninstall)
    AfterError,  // only once the worker has reported an error (upgrade)
  };
  Cancel cancel;
  // The message that carries progress. The uninstall's has WM_SETUP_ERROR's number: a
  // page with it takes no error message.
  UINT progressMessage;
  // The end closes the worker's handle, and Next waits for that (uninstall).
  bool nextWaitsForEnd;
};

class CWorkerPage : public CWizard97InteriorPageImpl {
 public:
  // True once no worker of this page is running, waiting at most `timeoutMs`.
  bool WaitForWorker(DWORD timeoutMs) const;

  // Set to tell the install worker to stop, and once an error has been reported. Only
  // the install worker is given it.
  std::atomic<uint8_t> StopFlag{0};

 protected:
  CWorkerPage(int templateId, const wchar_t* title, const wchar_t* subtitle, const ProgressPolicy& policy,
              InstallWorkerStart installStart, WorkerStart start);

  BOOL OnInitDialog() override;
  void OnSetActive() override;
  WizardNext OnWizardNext() override;
  bool OnQueryCancel() override;
  bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) override;

 private:
  void MoveOn() const;  // request Next and press it
  void OnDone();
  void OnError(const wchar_t* text);
  bool AskToStop();  // the install's cancel question; true lets the sheet close

  const ProgressPolicy policy_;
  const InstallWorkerStart installStart_;  // one of the two is set
  const WorkerStart start_;
  // Written by the worker before each progress message; that message orders the read.
  std::atomic<int32_t> progress_{0};
  tolvane::UniqueHandle worker_;
  bool started_ = false;
  bool startFailed_ = false;  // no message will ever come: Cancel must end the wizard
  uint8_t asking_ = 0;        // the cancel question is open
  uint8_t done_ = 0;          // the worker has reported the end
  uint8_t failed_ = 0;        // the worker has reported an error
};

// Install and re-install.
class CProgressPage final : public CWorkerPage {
 public:
  explicit CProgressPage(InstallWorkerStart start = nullptr);  // null: the engine's install worker
};

class CUninstallPage final : public CWorkerPage {
 public:
  explicit CUninstallPage(WorkerStart start = nullptr);  // null: the engine's uninstall worker
};

class CUpgradePage final : public CWorkerPage {
 public:
  explicit CUpgradePage(WorkerStart start = nullptr);  // null: the engine's upgrade worker
};

// The three completion pages differ only in their template.
class CCompletionPageBase : public CWizard97ExteriorPageImpl {
 protected:
  explicit CCompletionPageBase(int templateId);
  BOOL OnInitDialog() override;
  void OnSetActive() override;
};

class CCompletionPage : public CCompletionPageBase {
 public:
  CCompletionPage();
};

class CUninstallCompletionPage : public CCompletionPageBase {
 public:
  CUninstallCompletionPage();
};

class CUpgradeCompletionPage : public CCompletionPageBase {
 public:
  CUpgradeCompletionPage();
};
