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
