#include "app/wizard_application.h"

#include "app/wizard_sheet.h"

std::array<CWizard97PageWindow*, 11> WizardApplication::Pages() {
  return {&welcome_,  &setupType_,  &license_,   &userInfo_,           &selectFolder_,     &progress_,
          &completion_, &uninstall_, &uninstallCompletion_, &upgrade_, &upgradeCompletion_};
}

void WizardApplication::RunWizard() {
  CWizardSheet sheet;
  for (CWizard97PageWindow* page : Pages()) sheet.AddPage(*page);  // a failed page is left out
  sheet.DoModal(GetActiveWindow());
}

bool WizardApplication::WaitForWorkers(DWORD timeoutMs) const {
  const DWORD start = GetTickCount();
  auto left = [&]() -> DWORD {
    const DWORD spent = GetTickCount() - start;
    return spent < timeoutMs ? timeoutMs - spent : 0;
  };
  // At most one of them ever ran; the others answer at once.
  return progress_.WaitForWorker(left()) && uninstall_.WaitForWorker(left()) && upgrade_.WaitForWorker(left());
}
