// The pages that run the work (install, uninstall, upgrade) and the pages that end it.
//
// Each progress page starts one worker thread when it becomes active and follows it
// through the worker's messages: progress (the page reads its progress value), the end
// (the page presses Next itself) and, for install and upgrade, an error (its text is
// shown and the wizard closes). The worker gets pointers to the page's members, which
// live as long as the page object, i.e. until the program ends.
#pragma once

#include <cstdint>

#include "app/wizard97.h"
#include "common/win_owners.h"

// How a page starts its worker: the engine's start operations in the program, others in
// tests. Each returns the thread's handle, null when no thread could be started.
using InstallWorkerStart = HANDLE (*)(HWND page, int32_t* progress, uint8_t* stopFlag);
using WorkerStart = HANDLE (*)(HWND page, int32_t* progress);

// Install and re-install.
class CProgressPage : public CWizard97InteriorPageImpl {
 public:
  explicit CProgressPage(InstallWorkerStart start = nullptr);  // null: the engine's install worker
  ~CProgressPage() override;

  // True once no worker of this page runs any more, waiting at most `timeoutMs`.
  bool WaitForWorker(DWORD timeoutMs) const;

  // Set to tell the install worker to stop, and once an error has been reported.
  uint8_t StopFlag = 0;

 protected:
  BOOL OnInitDialog() override;
  void OnSetActive() override;
  WizardNext OnWizardNext() override;
  bool OnQueryCancel() override;
  bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) override;

 private:
  void MoveOn() const;  // request Next and press it

  const InstallWorkerStart start_;
  int32_t progress_ = 0;
  tolvane::UniqueHandle worker_;
  bool started_ = false;
  uint8_t asking_ = 0;  // the cancel question is open
  uint8_t done_ = 0;    // the worker has reported the end
};

class CUninstallPage : public CWizard97InteriorPageImpl {
 public:
  explicit CUninstallPage(WorkerStart start = nullptr);  // null: the engine's uninstall worker
  ~CUninstallPage() override;

  // True once no worker of this page runs any more, waiting at most `timeoutMs`.
  bool WaitForWorker(DWORD timeoutMs) const;

 protected:
  BOOL OnInitDialog() override;
  void OnSetActive() override;
  WizardNext OnWizardNext() override;
  bool OnQueryCancel() override;
  bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) override;

 private:
  const WorkerStart start_;
  int32_t progress_ = 0;
  tolvane::UniqueHandle worker_;
  bool started_ = false;
  bool startFailed_ = false;  // no message will ever come: Cancel must end the wizard
};

class CUpgradePage : public CWizard97InteriorPageImpl {
 public:
  explicit CUpgradePage(WorkerStart start = nullptr);  // null: the engine's upgrade worker
  ~CUpgradePage() override;

  // True once no worker of this page runs any more, waiting at most `timeoutMs`.
  bool WaitForWorker(DWORD timeoutMs) const;

 protected:
  BOOL OnInitDialog() override;
  void OnSetActive() override;
  WizardNext OnWizardNext() override;
  bool OnQueryCancel() override;
  bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) override;

 private:
  const WorkerStart start_;
  int32_t progress_ = 0;
  tolvane::UniqueHandle worker_;
  uint8_t error_ = 0;          // the worker has reported an error
  bool started_ = false;
  bool startFailed_ = false;   // no message will ever come: Cancel must end the wizard
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
