// The wizard as a keyboard user drives it, with real key presses on the X display and
// nothing else: Escape on the welcome page, then in one prefix and in this order an
// install into an untidy folder, an upgrade and the uninstall. Each test starts from
// what the one before left. The keys come from xdotool, which Wine starts as a Unix
// program; every key waits for the page, focus or box it is meant for.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "resources/resource_ids.h"
#include "tests/e2e/e2e_env.h"
#include "tests/e2e/install_walk.h"
#include "tests/e2e/keys.h"
#include "tests/engine/system_state.h"
#include "tests/support/test_files.h"
#include "tests/support/wizard_driver.h"

namespace tolvane::drive {
namespace {

using namespace steps;

constexpr DWORD kKeysTimeoutMs = 60000;
constexpr DWORD kWorkTimeoutMs = 120000;

// Typed into the folder box: "..", a forward slash and a doubled separator. The install
// goes to its full form.
constexpr wchar_t kUntidyFolder[] = L"C:\\Tolvane Keys\\..\\Tolvane Keys Test\\\\srv/x";
constexpr wchar_t kFolder[] = L"C:\\Tolvane Keys Test\\srv\\x\\";
constexpr wchar_t kName[] = L"Keyboard User";
constexpr wchar_t kCompany[] = L"Keys and Co";

class KeyboardFlow : public ::testing::Test {
 public:
  // Waits until the wizard shows `templateId` with the focus on `focus`, then presses
  // the keys.
  void KeysOn(int templateId, HWND (KeyboardFlow::*focus)() const, const std::string& actions) {
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
  void FinishWithEnter(int templateId, const wchar_t* shot) {
    ASSERT_TRUE(wizard_.WaitForPage(templateId, kWorkTimeoutMs));
    ASSERT_TRUE(WaitUntil([&] { return FocusOf(wizard_) == FinishButton(); }, kKeysTimeoutMs))
        << "the focus is not on Finish";
    Shot(setup_, shot);
    SendKeys(wizard_.Sheet(), "key Return");
    DWORD code = 1234;
    ASSERT_TRUE(setup_.WaitForExit(kKeysTimeoutMs, &code)) << "Enter on Finish did not end the wizard";
    EXPECT_EQ(code, 0u);
  }

  SetupProcess setup_;
  Wizard wizard_;
};

TEST_F(KeyboardFlow, EscapeOnTheWelcomePageEndsTheWizardWithZero) {
  ASSERT_FALSE(test::KeyExists(HKEY_LOCAL_MACHINE, test::kProductKey)) << "the prefix is not fresh";
  Start(setup_, wizard_, SetupExe());
  KeysOn(IDD_WELCOME, &KeyboardFlow::NextButton, "key Escape");
  DWORD code = 1234;
  ASSERT_TRUE(setup_.WaitForExit(kKeysTimeoutMs, &code)) << "Escape did not close the wizard";
  EXPECT_EQ(code, 0u);
  EXPECT_FALSE(test::KeyExists(HKEY_LOCAL_MACHINE, test::kProductKey));
}

TEST_F(KeyboardFlow, InstallIntoAnUntidyFolderWithTheKeyboard) {
  ASSERT_FALSE(test::KeyExists(HKEY_LOCAL_MACHINE, test::kProductKey)) << "the prefix is not fresh";
  Start(setup_, wizard_, SetupExe());
  KeysOn(IDD_WELCOME, &KeyboardFlow::NextButton, "key Return");
  // The agreement has the focus; Alt+A accepts it and leaves the focus on that choice.
  KeysOn(IDD_LICENSE, &KeyboardFlow::LicenceText, "key alt+a");
  ASSERT_TRUE(WaitUntil([&] { return wizard_.IsChecked(IDC_ACCEPT) && wizard_.IsButtonEnabled(WizardButton::Next); }));
  KeysOn(IDD_LICENSE, &KeyboardFlow::AcceptButton, "key Return");
  KeysOn(IDD_USER_INFO, &KeyboardFlow::NameBox, "type --delay 20 " + Quoted(kName));
  ASSERT_TRUE(WaitUntil([&] { return wizard_.Text(IDC_USER_NAME) == kName; }));
  SendKeys(wizard_.Sheet(), "key Tab");
  ASSERT_TRUE(WaitUntil([&] { return FocusOf(wizard_) == CompanyBox(); })) << "Tab did not reach the company box";
  SendKeys(wizard_.Sheet(), "type --delay 20 " + Quoted(kCompany));
  ASSERT_TRUE(WaitUntil([&] { return wizard_.Text(IDC_COMPANY) == kCompany; }));
  // Alt+U and Alt+C land on the boxes their labels name.
  SendKeys(wizard_.Sheet(), "key alt+u");
  ASSERT_TRUE(WaitUntil([&] { return FocusOf(wizard_) == NameBox(); })) << "Alt+U missed the user-name box";
  SendKeys(wizard_.Sheet(), "key alt+c");
  ASSERT_TRUE(WaitUntil([&] { return FocusOf(wizard_) == CompanyBox(); })) << "Alt+C missed the company box";
  EXPECT_EQ(wizard_.Text(IDC_USER_NAME), kName);
  ASSERT_TRUE(WaitUntil([&] { return wizard_.IsButtonEnabled(WizardButton::Next); }));
  SendKeys(wizard_.Sheet(), "key Return");
  // The focus comes with the proposed folder selected, so typing replaces it.
  KeysOn(IDD_SELECT_FOLDER, &KeyboardFlow::FolderBox, "type --delay 20 " + Quoted(kUntidyFolder));
  ASSERT_TRUE(WaitUntil([&] { return wizard_.Text(IDC_FOLDER) == kUntidyFolder; }))
      << Narrow(wizard_.Text(IDC_FOLDER));
  SendKeys(wizard_.Sheet(), "key Return");
  FinishWithEnter(IDD_COMPLETION, L"keyboard-install-completion");

  ExpectProductFiles(kFolder);
  ExpectProductRecord(kFolder, kName, kCompany);
  // Nothing went where the text only passed through.
  EXPECT_FALSE(test::FolderExists(L"C:\\Tolvane Keys"));
}

TEST_F(KeyboardFlow, UpgradeWithTheKeyboard) {
  ASSERT_TRUE(test::FileExists(std::wstring(kFolder) + L"quavserver.exe")) << "the install before did not happen";
  // A file the upgrade puts back (not the server: without it nothing counts as installed).
  std::wstring lost;
  for (const std::wstring& entry : ProductEntries()) {
    if (entry != L"quavserver.exe" && test::FileExists(kFolder + entry)) lost = kFolder + entry;
  }
  ASSERT_TRUE(DeleteFileW(lost.c_str())) << Narrow(lost);

  Start(setup_, wizard_, SetupExe());
  KeysOn(IDD_WELCOME, &KeyboardFlow::NextButton, "key Return");
  KeysOn(IDD_SETUP_TYPE, &KeyboardFlow::UpgradeOption, "key Return");
  FinishWithEnter(IDD_UPGRADE_COMPLETION, L"keyboard-upgrade-completion");

  ExpectProductFiles(kFolder);
  ExpectProductRecord(kFolder, kName, kCompany);
}

TEST_F(KeyboardFlow, UninstallWithTheKeyboardRemovesTheUntidyInstall) {
  ASSERT_TRUE(test::KeyExists(HKEY_LOCAL_MACHINE, test::kProductKey)) << "the install before did not happen";
  Start(setup_, wizard_, SetupExe());
  KeysOn(IDD_WELCOME, &KeyboardFlow::NextButton, "key Return");
  KeysOn(IDD_SETUP_TYPE, &KeyboardFlow::UpgradeOption, "key Down");
  ASSERT_TRUE(WaitUntil([&] { return wizard_.IsChecked(IDC_REINSTALL); })) << "Down did not choose the re-install";
  SendKeys(wizard_.Sheet(), "key Down");
  ASSERT_TRUE(WaitUntil([&] { return wizard_.IsChecked(IDC_UNINSTALL); })) << "Down did not choose the uninstall";
  KeysOn(IDD_SETUP_TYPE, &KeyboardFlow::UninstallOption, "key Return");
  MessageBoxWindow question = WaitForBox(setup_, kUninstallQuestion, kKeysTimeoutMs);
  ASSERT_TRUE(question) << "no uninstall question";
  SendKeys(question.Window(), "key y");
  FinishWithEnter(IDD_UNINSTALL_COMPLETION, L"keyboard-uninstall-completion");

  for (const std::wstring& entry : ProductEntries()) {
    EXPECT_EQ(GetFileAttributesW((std::wstring(kFolder) + entry).c_str()), INVALID_FILE_ATTRIBUTES) << Narrow(entry);
  }
  EXPECT_FALSE(test::FolderExists(kFolder)) << "the install folder stayed";
  EXPECT_TRUE(test::FolderExists(L"C:\\Tolvane Keys Test\\srv")) << "a folder above the install was removed";
  EXPECT_FALSE(test::FileExists(test::DesktopShortcut()));
  EXPECT_FALSE(test::FileExists(test::GroupShortcut()));
  EXPECT_FALSE(test::KeyExists(HKEY_LOCAL_MACHINE, test::kProductKey));
}

}  // namespace
}  // namespace tolvane::drive
