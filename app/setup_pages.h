// The pages that collect the user's choices before any work starts: welcome, setup type
// (only when the server is installed), licence, user information and install folder.
// They keep nothing of their own beyond the welcome page's last look at the
// installation; everything the user enters goes into the installed-product record.
#pragma once

#include <string>

#include "app/wizard97.h"
#include "common/text_conversion.h"

class CWelcomePage : public CWizard97ExteriorPageImpl {
 public:
  CWelcomePage();

 protected:
  BOOL OnInitDialog() override;
  void OnSetActive() override;
  WizardNext OnWizardNext() override;

 private:
  bool installed_ = false;  // the result of the latest ReadInstalledProduct
};

// Upgrade, re-install or uninstall of an existing installation.
class CSetupType : public CWizard97InteriorPageImpl {
 public:
  CSetupType();

 protected:
  BOOL OnInitDialog() override;
  HWND FirstInput() const override;
  void OnSetActive() override;
  WizardNext OnWizardNext() override;
};

// An interior page whose wizard buttons follow what the user enters: they are requested
// when the page becomes active and again at every notification `updateCode` (BN_CLICKED,
// EN_CHANGE) from one of its controls.
class CInputPage : public CWizard97InteriorPageImpl {
 protected:
  CInputPage(int templateId, const wchar_t* title, const wchar_t* subtitle, int firstInputId, WORD updateCode);
  // The buttons that what is entered allows.
  virtual DWORD Buttons() const = 0;
  HWND FirstInput() const override;
  void OnSetActive() override;
  bool OnCommand(WORD id, WORD code, HWND control) override;

 private:
  const int firstInputId_;
  const WORD updateCode_;
};

class CLicensePage : public CInputPage {
 public:
  CLicensePage();

 protected:
  BOOL OnInitDialog() override;
  DWORD Buttons() const override;  // Next only while the agreement is accepted
};

class CUserInfoPage : public CInputPage {
 public:
  CUserInfoPage();

 protected:
  BOOL OnInitDialog() override;
  DWORD Buttons() const override;
  WizardNext OnWizardNext() override;

 private:
  // Passes when the trimmed user name is not empty, and then stores the trimmed name and
  // company as the user's entries; a failed test leaves the stored entries alone.
  bool TestEntries() const;
};

class CSelectFolderPage : public CInputPage {
 public:
  CSelectFolderPage();

 protected:
  BOOL OnInitDialog() override;
  DWORD Buttons() const override;
  bool OnCommand(WORD id, WORD code, HWND control) override;  // the browse button
  WizardNext OnWizardNext() override;

 private:
  void Browse();
};

namespace tolvane {

// The text of a window (a control), however long.
std::wstring WindowString(HWND window);

}  // namespace tolvane
