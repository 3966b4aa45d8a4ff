// Real key presses for the end-to-end tests, and the fixture of the tests that walk the
// wizard with them: xdotool, started by Wine as a Unix program, sends X key events to the
// wizard's window, as a keyboard would.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "resources/resource_ids.h"
#include "tests/e2e/e2e_env.h"
#include "tests/e2e/install_walk.h"
#include "tests/support/wizard_driver.h"

namespace tolvane::drive {

inline constexpr DWORD kKeysTimeoutMs = 60000;
inline constexpr DWORD kWorkTimeoutMs = 120000;

// The Unix name of a Windows path, as Wine maps it; empty when it has none.
std::string UnixPath(const std::wstring& path);

// Runs `script` with /bin/sh and waits for it: its exit status ("0" on success), or empty
// when it did not end within `timeoutMs`.
std::string RunUnixShell(const std::string& script, DWORD timeoutMs = kKeysTimeoutMs);

// Gives `window` the X input focus and sends it `actions` (xdotool commands such as
// "key Return" or "type 'abc'"); returns when xdotool is done (gtest-asserting).
void SendKeys(HWND window, const std::string& actions);

// `text` in single quotes for xdotool's command line, as UTF-8; no single quotes inside.
std::string Quoted(const std::wstring& text);

// Puts `text` on the clipboard and presses Ctrl+V in `window`: how a keyboard user enters
// text that the keyboard layout has no keys for (xdotool's typing reaches Wine for the
// layout's characters only).
void PasteWithKeys(HWND window, const std::wstring& text);

// The control of the wizard that has the keyboard focus now.
HWND FocusOf(const Wizard& wizard);

// A wizard driven by the keyboard: the setup process, its sheet, and the controls a
// keyboard user's focus should land on.
class KeyboardWizard : public ::testing::Test {
 public:
  // Waits until the wizard shows `templateId` with the focus on `focus`, then presses
  // the keys.
  void KeysOn(int templateId, HWND (KeyboardWizard::*focus)() const, const std::string& actions) {
    ASSERT_TRUE(wizard_.WaitForPage(templateId, kWorkTimeoutMs)) << "page " << templateId << " did not come";
    ASSERT_TRUE(WaitUntil([&] { return FocusOf(wizard_) == (this->*focus)(); }, kKeysTimeoutMs))
        << "page " << templateId << ": the focus is not where a keyboard user needs it";
    SendKeys(wizard_.Sheet(), actions);
  }

  HWND NextButton() const { return wizard_.Button(WizardButton::Next); }
  HWND FinishButton() const { return wizard_.Button(WizardButton::Finish); }
  HWND LicenceText() const { return wizard_.Control(IDC_LICENSE_TEXT); }
  HWND AcceptButton() const { return wizard_.Control(IDC_ACCEPT); }
  HWND NameBox() const { return wizard_.Control(IDC_USER_NAME); }
  HWND CompanyBox() const { return wizard_.Control(IDC_COMPANY); }
  HWND FolderBox() const { return wizard_.Control(IDC_FOLDER); }
  HWND UpgradeOption() const { return wizard_.Control(IDC_UPGRADE); }
  HWND UninstallOption() const { return wizard_.Control(IDC_UNINSTALL); }

 protected:
  // Enter on the Finish button of a completion page ends the wizard with 0.
  void FinishWithEnter(int templateId, const wchar_t* shot);
  // On the licence page: Alt+A accepts the agreement, Enter goes on.
  void AcceptLicenceWithKeys();
  // Starts `exe` over an installed product and takes the upgrade (the first choice) with
  // Enter; the upgrade is then under way.
  void StartUpgradeWithKeys(const std::wstring& exe);
  // The same with the project's setup.exe, ended with Enter on Finish.
  void UpgradeWithKeys(const wchar_t* shot);
  // From the start of setup (`exe`, the project's by default) over an installed product:
  // the uninstall chosen with the arrow keys, confirmed with Y, ended with Enter on Finish.
  void UninstallWithKeys(const wchar_t* shot, const std::wstring& exe = SetupExe());

  SetupProcess setup_;
  Wizard wizard_;
};

}  // namespace tolvane::drive
