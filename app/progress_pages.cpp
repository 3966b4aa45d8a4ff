#include "app/progress_pages.h"

#include "engine/worker.h"
#include "resources/resource_ids.h"
#include "state/install_folder.h"

namespace {

constexpr wchar_t kCancelInstallQuestion[] = L"安装未完成，确认取消安装?";
// After the user confirmed cancelling, the install worker gets this long to stop.
constexpr DWORD kStopWaitMs = 10000;

constexpr ProgressPolicy kInstallPolicy{ProgressPolicy::Cancel::AskToStop, WM_SETUP_PROGRESS, false};
constexpr ProgressPolicy kUninstallPolicy{ProgressPolicy::Cancel::Refuse, WM_UNINSTALL_PROGRESS, true};
constexpr ProgressPolicy kUpgradePolicy{ProgressPolicy::Cancel::AfterError, WM_SETUP_PROGRESS, false};

// A worker that has ended. One that ended without its closing message (done or error)
// never sends one: its page must not wait for it.
bool HasEnded(const tolvane::UniqueHandle& worker) {
  return worker && WaitForSingleObject(worker.get(), 0) == WAIT_OBJECT_0;
}

}  // namespace

CWorkerPage::CWorkerPage(int templateId, const wchar_t* title, const wchar_t* subtitle, const ProgressPolicy& policy,
                         InstallWorkerStart installStart, WorkerStart start)
    : CWizard97InteriorPageImpl(templateId, title, subtitle),
      policy_(policy),
      installStart_(installStart),
      start_(start) {}

bool CWorkerPage::WaitForWorker(DWORD timeoutMs) const {
  return !worker_ || WaitForSingleObject(worker_.get(), timeoutMs) != WAIT_TIMEOUT;
}

BOOL CWorkerPage::OnInitDialog() {
  SendDlgItemMessageW(Window(), IDC_PROGRESS, PBM_SETRANGE32, 0, 100);
  return TRUE;
}

void CWorkerPage::OnSetActive() {
  SetWizardButtons(0);
  // One run per page: the page can only be left forwards, but never start a second
  // worker over a running one.
  if (started_) return;
  started_ = true;
  worker_.reset(installStart_ ? installStart_(Window(), &progress_, &StopFlag) : start_(Window(), &progress_));
  startFailed_ = !worker_;
}

void CWorkerPage::MoveOn() const {
  SetWizardButtons(PSWIZB_NEXT);
  PressButton(PSBTN_NEXT);
}

WizardNext CWorkerPage::OnWizardNext() {
  return policy_.nextWaitsForEnd && worker_ ? WizardNext::Stay() : WizardNext::Advance();
}

bool CWorkerPage::OnQueryCancel() {
  // A worker that never started, or one that ended without saying so, sends nothing
  // more: only Cancel lets the user out.
  if (startFailed_ || HasEnded(worker_)) return true;
  switch (policy_.cancel) {
    case ProgressPolicy::Cancel::AskToStop: return AskToStop();
    case ProgressPolicy::Cancel::Refuse: return false;
    case ProgressPolicy::Cancel::AfterError: return failed_ != 0;
  }
  return false;
}

bool CWorkerPage::AskToStop() {
  if (!worker_ || StopFlag || done_) return true;

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
  PressButton(PSBTN_CANCEL);  // allowed, StopFlag being set: the sheet closes
  return false;
}

void CWorkerPage::OnDone() {
  done_ = 1;
  if (policy_.nextWaitsForEnd) worker_.reset();
  // With the cancel question open, its handling moves on once the box closes.
  if (!asking_) MoveOn();
}

void CWorkerPage::OnError(const wchar_t* text) {
  failed_ = 1;
  if (text) MessageBoxW(Window(), text, kMessageCaption, MB_OK | MB_ICONERROR);
  StopFlag = 1;
  PressButton(PSBTN_CANCEL);
}

bool CWorkerPage::OnMessage(UINT message, WPARAM wParam, LPARAM, LRESULT* result) {
  if (message == policy_.progressMessage) {
    SendDlgItemMessageW(Window(), IDC_PROGRESS, PBM_SETPOS,
                        static_cast<WPARAM>(progress_.load(std::memory_order_relaxed)), 0);
  } else if (message == WM_SETUP_DONE) {
    OnDone();
  } else if (message == WM_SETUP_ERROR) {
    // (The text belongs to the worker, which waits until this returns.)
    OnError(reinterpret_cast<const wchar_t*>(wParam));
  } else {
    return false;
  }
  *result = 0;
  return true;
}

CProgressPage::CProgressPage(InstallWorkerStart start)
    : CWorkerPage(IDD_PROGRESS, L"安装所需的文件", L"", kInstallPolicy, start ? start : &StartInstallWorker,
                  nullptr) {}

CUninstallPage::CUninstallPage(WorkerStart start)
    : CWorkerPage(IDD_UNINSTALL, L"Tolvane翻译软件安装向导", L"删除已安装的文件", kUninstallPolicy, nullptr,
                  start ? start : &StartUninstallWorker) {}

CUpgradePage::CUpgradePage(WorkerStart start)
    : CWorkerPage(IDD_UPGRADE, L"安装所需的文件", L"", kUpgradePolicy, nullptr, start ? start : &StartUpgradeWorker) {}

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
