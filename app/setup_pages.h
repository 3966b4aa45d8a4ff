// The pages that collect the user's choices before any work starts: welcome, setup type
// (only when the server is installed), licence, user information and install folder.
// They keep nothing of their own beyond the welcome page's last look at the
// installation; everything the user enters goes into the installed-product record.
#pragma once

#include <string>

#include "app/wizard97.h"

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

class CLicensePage : public CWizard97InteriorPageImpl {
 public:
  CLicensePage();

 protected:
  BOOL OnInitDialog() override;
  HWND FirstInput() const override;
  void OnSetActive() override;
  bool OnCommand(WORD id, WORD code, HWND control) override;

 private:
  void UpdateButtons() const;  // Next only while the agreement is accepted
};

class CUserInfoPage : public CWizard97InteriorPageImpl {
 public:
  CUserInfoPage();

 protected:
  BOOL OnInitDialog() override;
  HWND FirstInput() const override;
  void OnSetActive() override;
  bool OnCommand(WORD id, WORD code, HWND control) override;
  WizardNext OnWizardNext() override;

 private:
  // Passes when the trimmed user name is not empty, and then stores the trimmed name and
  // company as the user's entries; a failed test leaves the stored entries alone.
  bool TestEntries() const;
  void UpdateButtons() const;
};

class CSelectFolderPage : public CWizard97InteriorPageImpl {
 public:
  CSelectFolderPage();

 protected:
  BOOL OnInitDialog() override;
  HWND FirstInput() const override;
  void OnSetActive() override;
  bool OnCommand(WORD id, WORD code, HWND control) override;
  WizardNext OnWizardNext() override;

 private:
  void Browse();
};

namespace tolvane {

// `text` without the white space (iswspace in the program's locale) at its end and start.
std::wstring TrimSpace(const std::wstring& text);

// The text of a window (a control), however long.
std::wstring WindowString(HWND window);

}  // namespace tolvane
