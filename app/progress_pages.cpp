#include "app/progress_pages.h"

#include "engine/worker.h"
#include "resources/resource_ids.h"
#include "state/install_folder.h"

namespace {

constexpr wchar_t kCancelInstallQuestion[] = L"安装未完成，确认取消安装?";
// After the user confirmed cancelling, the install worker gets this long to stop.
constexpr DWORD kStopWaitMs = 10000;

// The progress value is written by the worker thread; read it as it is now.
int32_t Current(const int32_t& value) { return *static_cast<const volatile int32_t*>(&value); }

void InitProgressBar(HWND page) { SendDlgItemMessageW(page, IDC_PROGRESS, PBM_SETRANGE32, 0, 100); }

void ShowProgress(HWND page, const int32_t& value) {
  SendDlgItemMessageW(page, IDC_PROGRESS, PBM_SETPOS, static_cast<WPARAM>(Current(value)), 0);
}

// A worker that has ended. One that ended without its closing message (done or error)
// never sends one: its page must not wait for it.
bool HasEnded(const tolvane::UniqueHandle& worker) {
  return worker && WaitForSingleObject(worker.get(), 0) == WAIT_OBJECT_0;
}

bool WaitForThread(const tolvane::UniqueHandle& worker, DWORD timeoutMs) {
  return !worker || WaitForSingleObject(worker.get(), timeoutMs) != WAIT_TIMEOUT;
}

void ShowError(HWND page, WPARAM text) {
  if (text) MessageBoxW(page, reinterpret_cast<const wchar_t*>(text), kMessageCaption, MB_OK | MB_ICONERROR);
}

}  // namespace

// ---- install -------------------------------------------------------------------------

CProgressPage::CProgressPage(InstallWorkerStart start)
    : CWizard97InteriorPageImpl(IDD_PROGRESS, L"安装所需的文件", L""),
      start_(start ? start : &StartInstallWorker) {}

CProgressPage::~CProgressPage() { worker_.reset(); }

bool CProgressPage::WaitForWorker(DWORD timeoutMs) const { return WaitForThread(worker_, timeoutMs); }

BOOL CProgressPage::OnInitDialog() {
  InitProgressBar(Window());
  return TRUE;
}

void CProgressPage::OnSetActive() {
  SetWizardButtons(0);
  // One install per run: the page can only be left forwards, but never start a second
  // worker over a running one.
  if (started_) return;
  started_ = true;
  worker_.reset(start_(Window(), &progress_, &StopFlag));
}

void CProgressPage::MoveOn() const {
  SetWizardButtons(PSWIZB_NEXT);
  PressButton(PSBTN_NEXT);
}

WizardNext CProgressPage::OnWizardNext() { return WizardNext::Advance(); }

bool CProgressPage::OnQueryCancel() {
  if (!worker_ || StopFlag || done_ || HasEnded(worker_)) return true;

  asking_ = 1;
  const int answer = MessageBoxW(Window(), kCancelInstallQuestion, kMessageCaption,
                                 MB_YESNOCANCEL | MB_ICONQUESTION | MB_DEFBUTTON3);
  asking_ = 0;

  // Whatever came from the worker while the question was open decides first.
  if (done_) {
    MoveOn();
    return false;
  }
  if (StopFlag) return true;
  if (answer != IDYES) return false;

  StopFlag = 1;
  // Messages the worker sends meanwhile wait until this is over; the wait is bounded.
  WaitForSingleObject(worker_.get(), kStopWaitMs);
  PressButton(PSBTN_CANCEL);  // allowed now that StopFlag is set: the sheet closes
  return false;
}

bool CProgressPage::OnMessage(UINT message, WPARAM wParam, LPARAM, LRESULT* result) {
  switch (message) {
    case WM_SETUP_PROGRESS:
      ShowProgress(Window(), progress_);
      break;
    case WM_SETUP_DONE:
      done_ = 1;
      // With the cancel question open, its handling moves on once the box closes.
      if (!asking_) MoveOn();
      break;
    case WM_SETUP_ERROR:
      ShowError(Window(), wParam);
      StopFlag = 1;
      PressButton(PSBTN_CANCEL);
      break;
    default:
      return false;
  }
  *result = 0;
  return true;
}

// ---- uninstall -----------------------------------------------------------------------

CUninstallPage::CUninstallPage(WorkerStart start)
    : CWizard97InteriorPageImpl(IDD_UNINSTALL, L"Tolvane翻译软件安装向导", L"删除已安装的文件"),
      start_(start ? start : &StartUninstallWorker) {}

CUninstallPage::~CUninstallPage() { worker_.reset(); }

bool CUninstallPage::WaitForWorker(DWORD timeoutMs) const { return WaitForThread(worker_, timeoutMs); }

BOOL CUninstallPage::OnInitDialog() {
  InitProgressBar(Window());
  return TRUE;
}

void CUninstallPage::OnSetActive() {
  SetWizardButtons(0);
  if (started_) return;
  started_ = true;
  worker_.reset(start_(Window(), &progress_));
  startFailed_ = !worker_;
}

WizardNext CUninstallPage::OnWizardNext() { return worker_ ? WizardNext::Stay() : WizardNext::Advance(); }

// An uninstall cannot be interrupted; only a worker that never started, or one that
// ended without saying so, lets the user out.
bool CUninstallPage::OnQueryCancel() { return startFailed_ || HasEnded(worker_); }

bool CUninstallPage::OnMessage(UINT message, WPARAM, LPARAM, LRESULT* result) {
  switch (message) {
    case WM_UNINSTALL_PROGRESS:
      ShowProgress(Window(), progress_);
      break;
    case WM_SETUP_DONE:
      worker_.reset();
      SetWizardButtons(PSWIZB_NEXT);
      PressButton(PSBTN_NEXT);
      break;
    default:
      return false;
  }
  *result = 0;
  return true;
}

// ---- upgrade -------------------------------------------------------------------------

CUpgradePage::CUpgradePage(WorkerStart start)
    : CWizard97InteriorPageImpl(IDD_UPGRADE, L"安装所需的文件", L""),
      start_(start ? start : &StartUpgradeWorker) {}

CUpgradePage::~CUpgradePage() { worker_.reset(); }

bool CUpgradePage::WaitForWorker(DWORD timeoutMs) const { return WaitForThread(worker_, timeoutMs); }

BOOL CUpgradePage::OnInitDialog() {
  InitProgressBar(Window());
  return TRUE;
}

void CUpgradePage::OnSetActive() {
  SetWizardButtons(0);
  if (started_) return;
  started_ = true;
  worker_.reset(start_(Window(), &progress_));
  startFailed_ = !worker_;
}

WizardNext CUpgradePage::OnWizardNext() { return WizardNext::Advance(); }

bool CUpgradePage::OnQueryCancel() { return error_ || startFailed_ || HasEnded(worker_); }

bool CUpgradePage::OnMessage(UINT message, WPARAM wParam, LPARAM, LRESULT* result) {
  switch (message) {
    case WM_SETUP_PROGRESS:
      ShowProgress(Window(), progress_);
      break;
    case WM_SETUP_DONE:
      SetWizardButtons(PSWIZB_NEXT);
      PressButton(PSBTN_NEXT);
      break;
    case WM_SETUP_ERROR:
      error_ = 1;
      ShowError(Window(), wParam);
      PressButton(PSBTN_CANCEL);
      break;
    default:
      return false;
  }
  *result = 0;
  return true;
}

// ---- completion pages ----------------------------------------------------------------

CCompletionPageBase::CCompletionPageBase(int templateId) : CWizard97ExteriorPageImpl(templateId) {}

BOOL CCompletionPageBase::OnInitDialog() {
  SetTitleFont(IDC_TITLE);
  return TRUE;
}

void CCompletionPageBase::OnSetActive() { SetWizardButtons(PSWIZB_FINISH); }

CCompletionPage::CCompletionPage() : CCompletionPageBase(IDD_COMPLETION) {}
CUninstallCompletionPage::CUninstallCompletionPage() : CCompletionPageBase(IDD_UNINSTALL_COMPLETION) {}
CUpgradeCompletionPage::CUpgradeCompletionPage() : CCompletionPageBase(IDD_UPGRADE_COMPLETION) {}
