// The pages that collect the user's choices before any work starts.
#pragma once

#include "app/wizard97.h"

class CWelcomePage : public CWizard97ExteriorPageImpl {
 public:
  CWelcomePage();

 protected:
  BOOL OnInitDialog() override;
  void OnSetActive() override;
};

class CSetupType : public CWizard97InteriorPageImpl {
 public:
  CSetupType();

 protected:
  void OnSetActive() override;
};

class CLicensePage : public CWizard97InteriorPageImpl {
 public:
  CLicensePage();

 protected:
  void OnSetActive() override;
};

class CUserInfoPage : public CWizard97InteriorPageImpl {
 public:
  CUserInfoPage();

 protected:
  void OnSetActive() override;
};

class CSelectFolderPage : public CWizard97InteriorPageImpl {
 public:
  CSelectFolderPage();

 protected:
  void OnSetActive() override;
};
