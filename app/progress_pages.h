// The pages that run the work (install, uninstall, upgrade) and the pages that end it.
#pragma once

#include "app/wizard97.h"

class CProgressPage : public CWizard97InteriorPageImpl {
 public:
  CProgressPage();

 protected:
  void OnSetActive() override;
};

class CUninstallPage : public CWizard97InteriorPageImpl {
 public:
  CUninstallPage();

 protected:
  void OnSetActive() override;
};

class CUpgradePage : public CWizard97InteriorPageImpl {
 public:
  CUpgradePage();

 protected:
  void OnSetActive() override;
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
