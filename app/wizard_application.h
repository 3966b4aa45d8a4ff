// The wizard as a whole: the eleven pages, in sheet order, and the modal run.
#pragma once

#include <array>

#include "app/progress_pages.h"
#include "app/setup_pages.h"

class WizardApplication {
 public:
  WizardApplication() = default;
  WizardApplication(const WizardApplication&) = delete;
  WizardApplication& operator=(const WizardApplication&) = delete;

  // Builds the sheet with every page, shows it modally over the active window and returns
  // when it closes, however it closed.
  void RunWizard();

  // Waits until no progress page's worker runs any more, at most `timeoutMs` in all;
  // false when one still runs. Until then the pages and the workers' contexts must stay.
  bool WaitForWorkers(DWORD timeoutMs) const;

  // The pages in sheet order (index 0 is the start page).
  std::array<CWizard97PageWindow*, 11> Pages();

 private:
  // Members are constructed in this order and destroyed in reverse; the order is also
  // the order of the pages in the sheet.
  CWelcomePage welcome_;
  CSetupType setupType_;
  CLicensePage license_;
  CUserInfoPage userInfo_;
  CSelectFolderPage selectFolder_;
  CProgressPage progress_;
  CCompletionPage completion_;
  CUninstallPage uninstall_;
  CUninstallCompletionPage uninstallCompletion_;
  CUpgradePage upgrade_;
  CUpgradeCompletionPage upgradeCompletion_;
};
