// The life of an installation, one prefix, in order: a fresh install walked page by
// page, a re-install over it, an upgrade and an uninstall. Each test starts from what
// the one before it left; every page is photographed on the way.
#include <windows.h>

#include <gtest/gtest.h>

#include "resources/resource_ids.h"
#include "tests/e2e/e2e_env.h"
#include "tests/e2e/install_walk.h"
#include "tests/engine/system_state.h"
#include "tests/support/test_files.h"
#include "tests/support/wizard_driver.h"

namespace tolvane::drive {
namespace {

using namespace steps;

class InstallFlow : public ::testing::Test {
 protected:
  // The product must be there for every step after the first.
  void ExpectInstalled() {
    ASSERT_TRUE(test::KeyExists(HKEY_LOCAL_MACHINE, test::kProductKey)) << "an earlier step did not install";
  }

  SetupProcess setup_;
  Wizard wizard_;
};

TEST_F(InstallFlow, FreshInstallWalkedPageByPage) {
  ASSERT_FALSE(test::KeyExists(HKEY_LOCAL_MACHINE, test::kProductKey)) << "the prefix is not fresh";
  const std::wstring folder = ExpectedDefaultFolder();
  Start(setup_, wizard_, SetupExe());

  // Welcome: Next only.
  EXPECT_TRUE(wizard_.WaitForButtons(false, true, false));
  EXPECT_EQ(wizard_.Text(IDC_TITLE), L"欢迎使用Tolvane翻译服务器安装向导");
  Shot(setup_, L"welcome");
  ASSERT_TRUE(PressWhenEnabled(wizard_, WizardButton::Next));

  // Nothing installed: straight to the licence, which starts with Next disabled.
  ASSERT_TRUE(wizard_.WaitForPage(IDD_LICENSE));
  EXPECT_TRUE(wizard_.WaitForButtons(false, false, false));
  EXPECT_FALSE(wizard_.IsChecked(IDC_ACCEPT));
  EXPECT_FALSE(wizard_.IsChecked(IDC_DECLINE));
  EXPECT_NE(wizard_.Text(IDC_LICENSE_TEXT).find(L"最终用户许可协议"), std::wstring::npos);
  ASSERT_TRUE(wizard_.Choose(IDC_ACCEPT));
  EXPECT_TRUE(wizard_.WaitForButtons(false, true, false));
  ASSERT_TRUE(wizard_.Choose(IDC_DECLINE));
  EXPECT_TRUE(wizard_.WaitForButtons(false, false, false));
  ASSERT_TRUE(wizard_.Choose(IDC_ACCEPT));
  EXPECT_TRUE(wizard_.WaitForButtons(false, true, false));
  Shot(setup_, L"license");
  ASSERT_TRUE(wizard_.Press(WizardButton::Next));

  // User information: empty boxes, a name of blanks is no name, the company may be empty.
  ASSERT_TRUE(wizard_.WaitForPage(IDD_USER_INFO));
  EXPECT_EQ(wizard_.Text(IDC_USER_NAME), L"");
  EXPECT_EQ(wizard_.Text(IDC_COMPANY), L"");
  EXPECT_TRUE(wizard_.WaitForButtons(true, false, false));
  ASSERT_TRUE(wizard_.Type(IDC_USER_NAME, L"    "));
  ASSERT_TRUE(wizard_.Type(IDC_COMPANY, L"某公司"));
  EXPECT_TRUE(wizard_.WaitForButtons(true, false, false));
  ASSERT_TRUE(wizard_.Type(IDC_USER_NAME, L"  张三  "));
  EXPECT_TRUE(wizard_.WaitForButtons(true, true, false));
  ASSERT_TRUE(wizard_.Type(IDC_COMPANY, L""));
  EXPECT_TRUE(wizard_.WaitForButtons(true, true, false));
  EXPECT_EQ(wizard_.Text(IDC_USER_NAME), L"  张三  ");
  Shot(setup_, L"user-info");
  ASSERT_TRUE(wizard_.Press(WizardButton::Next));

  // Folder: the default folder; blanks get their message; an existing folder with a
  // server in it asks before anything is overwritten.
  ASSERT_TRUE(wizard_.WaitForPage(IDD_SELECT_FOLDER));
  EXPECT_EQ(wizard_.Text(IDC_FOLDER), folder);
  EXPECT_TRUE(wizard_.WaitForButtons(true, true, false));
  Shot(setup_, L"select-folder");

  ASSERT_TRUE(wizard_.Type(IDC_FOLDER, L"   "));
  ASSERT_TRUE(wizard_.Press(WizardButton::Next));
  MessageBoxWindow box = WaitForBox(setup_, kMissingFolderText);
  ASSERT_TRUE(box) << "no message for a blank folder";
  EXPECT_EQ(box.Read().icon, test::MessageBoxIcon::Error);
  ASSERT_TRUE(box.Press(IDOK));
  EXPECT_EQ(wizard_.ActiveTemplate(), IDD_SELECT_FOLDER);

  const std::wstring other = L"C:\\tolvane-existing\\";
  ASSERT_TRUE(CreateDirectoryW(other.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
  ASSERT_TRUE(CopyFileW((ProductRoot() + L"quavserver.exe").c_str(), (other + L"quavserver.exe").c_str(), FALSE));
  ASSERT_TRUE(wizard_.Type(IDC_FOLDER, other));
  ASSERT_TRUE(wizard_.Press(WizardButton::Next));
  box = WaitForBox(setup_, kOverwriteQuestion);
  ASSERT_TRUE(box) << "no overwrite question";
  EXPECT_EQ(box.Read().icon, test::MessageBoxIcon::Question);
  Shot(setup_, L"overwrite-question");
  ASSERT_TRUE(box.Press(IDNO));
  EXPECT_TRUE(wizard_.WaitForButtons(true, true, false));
  EXPECT_EQ(wizard_.ActiveTemplate(), IDD_SELECT_FOLDER);
  EXPECT_FALSE(test::FileExists(other + L"project_manager.mod"));

  // Back to the proposed folder, which does not exist yet: the install runs.
  ASSERT_TRUE(wizard_.Type(IDC_FOLDER, L"  " + folder.substr(0, folder.size() - 1) + L"  "));
  ASSERT_TRUE(wizard_.Press(WizardButton::Next));
  ASSERT_TRUE(WaitUntil([&] { return wizard_.ActiveTemplate() != IDD_SELECT_FOLDER; }));

  // Completion: Finish only; the program ends with 0.
  ASSERT_TRUE(wizard_.WaitForPage(IDD_COMPLETION, 60000));
  EXPECT_TRUE(wizard_.WaitForButtons(false, false, true));
  EXPECT_EQ(wizard_.Text(IDC_TITLE), L"Tolvane翻译服务器安装向导完成");
  Shot(setup_, L"completion");
  FinishInstall(setup_, wizard_);

  ExpectProductFiles(folder);
  ExpectProductRecord(folder, L"张三", L"");
}

TEST_F(InstallFlow, ReinstallOffersTheSetupTypeAndShowsWhatWasRecorded) {
  ExpectInstalled();
  const std::wstring folder = ExpectedDefaultFolder();
  Start(setup_, wizard_, SetupExe());
  ASSERT_TRUE(PressWhenEnabled(wizard_, WizardButton::Next));

  // Installed: the setup type comes first, upgrade chosen, no Back.
  ASSERT_TRUE(wizard_.WaitForPage(IDD_SETUP_TYPE));
  EXPECT_TRUE(wizard_.WaitForButtons(false, true, false));
  EXPECT_TRUE(wizard_.IsChecked(IDC_UPGRADE));
  EXPECT_FALSE(wizard_.IsChecked(IDC_REINSTALL));
  EXPECT_FALSE(wizard_.IsChecked(IDC_UNINSTALL));
  Shot(setup_, L"setup-type");

  // Uninstall asked about and not confirmed: the page stays, nothing is removed.
  ASSERT_TRUE(wizard_.Choose(IDC_UNINSTALL));
  for (int answer : {IDNO, IDCANCEL}) {
    ASSERT_TRUE(wizard_.Press(WizardButton::Next));
    MessageBoxWindow box = WaitForBox(setup_, kUninstallQuestion);
    ASSERT_TRUE(box) << "no uninstall question";
    const test::MessageBoxInfo info = box.Read();
    EXPECT_EQ(info.icon, test::MessageBoxIcon::Question);
    EXPECT_EQ(info.buttons, (std::vector<int>{IDYES, IDNO, IDCANCEL}));
    EXPECT_EQ(info.defaultButton, IDCANCEL);
    if (answer == IDNO) Shot(setup_, L"uninstall-question");
    ASSERT_TRUE(box.Press(answer));
    EXPECT_TRUE(wizard_.WaitForButtons(false, true, false));
    EXPECT_EQ(wizard_.ActiveTemplate(), IDD_SETUP_TYPE) << "answer " << answer;
    EXPECT_TRUE(test::KeyExists(HKEY_LOCAL_MACHINE, test::kProductKey));
  }

  // Re-install: the recorded entries are the starting values.
  ASSERT_TRUE(wizard_.Choose(IDC_REINSTALL));
  ASSERT_TRUE(wizard_.Press(WizardButton::Next));
  ASSERT_TRUE(wizard_.WaitForPage(IDD_LICENSE));
  EXPECT_TRUE(wizard_.WaitForButtons(false, false, false));
  ASSERT_TRUE(wizard_.Choose(IDC_ACCEPT));
  ASSERT_TRUE(PressWhenEnabled(wizard_, WizardButton::Next));
  ASSERT_TRUE(wizard_.WaitForPage(IDD_USER_INFO));
  EXPECT_EQ(wizard_.Text(IDC_USER_NAME), L"张三");
  EXPECT_EQ(wizard_.Text(IDC_COMPANY), L"");
  EXPECT_TRUE(wizard_.WaitForButtons(true, true, false));
  ASSERT_TRUE(wizard_.Type(IDC_USER_NAME, L"李四"));
  ASSERT_TRUE(wizard_.Type(IDC_COMPANY, L" 某某公司 "));
  ASSERT_TRUE(PressWhenEnabled(wizard_, WizardButton::Next));
  ASSERT_TRUE(wizard_.WaitForPage(IDD_SELECT_FOLDER));
  EXPECT_EQ(wizard_.Text(IDC_FOLDER), folder);

  // The recorded folder holds the server: overwriting needs a Yes.
  ASSERT_TRUE(wizard_.Press(WizardButton::Next));
  MessageBoxWindow box = WaitForBox(setup_, kOverwriteQuestion);
  ASSERT_TRUE(box);
  ASSERT_TRUE(box.Press(IDNO));
  EXPECT_TRUE(wizard_.WaitForButtons(true, true, false));
  EXPECT_EQ(wizard_.ActiveTemplate(), IDD_SELECT_FOLDER);
  ASSERT_TRUE(wizard_.Press(WizardButton::Next));
  box = WaitForBox(setup_, kOverwriteQuestion);
  ASSERT_TRUE(box);
  ASSERT_TRUE(box.Press(IDYES));
  FinishInstall(setup_, wizard_);

  ExpectProductFiles(folder);
  ExpectProductRecord(folder, L"李四", L"某某公司");
}

TEST_F(InstallFlow, UpgradeWritesThePackageAgain) {
  ExpectInstalled();
  const std::wstring folder = ExpectedDefaultFolder();
  const std::wstring damaged = ProductEntries().back();
  ASSERT_TRUE(test::FileExists(folder + damaged));
  ASSERT_TRUE(test::WriteFileBytes(folder + damaged, {0x78}));

  Start(setup_, wizard_, SetupExe());
  ASSERT_TRUE(PressWhenEnabled(wizard_, WizardButton::Next));
  ASSERT_TRUE(wizard_.WaitForPage(IDD_SETUP_TYPE));
  ASSERT_TRUE(PressWhenEnabled(wizard_, WizardButton::Next));  // upgrade is the default
  ASSERT_TRUE(wizard_.WaitForPage(IDD_UPGRADE_COMPLETION, 60000));
  EXPECT_TRUE(wizard_.WaitForButtons(false, false, true));
  EXPECT_EQ(wizard_.Text(IDC_TITLE), L"Tolvane翻译服务器安装向导完成");
  Shot(setup_, L"upgrade-completion");
  ASSERT_TRUE(wizard_.Press(WizardButton::Finish));
  DWORD code = 1234;
  ASSERT_TRUE(setup_.WaitForExit(kDefaultTimeoutMs, &code));
  EXPECT_EQ(code, 0u);

  EXPECT_TRUE(SameContents(ProductRoot() + damaged, folder + damaged)) << Narrow(damaged);
  ExpectProductRecord(folder, L"李四", L"某某公司");
}

TEST_F(InstallFlow, UninstallConfirmedRemovesTheProductRecord) {
  ExpectInstalled();
  Start(setup_, wizard_, SetupExe());
  ASSERT_TRUE(PressWhenEnabled(wizard_, WizardButton::Next));
  ASSERT_TRUE(wizard_.WaitForPage(IDD_SETUP_TYPE));
  ASSERT_TRUE(wizard_.Choose(IDC_UNINSTALL));
  ASSERT_TRUE(wizard_.Press(WizardButton::Next));
  MessageBoxWindow box = WaitForBox(setup_, kUninstallQuestion);
  ASSERT_TRUE(box);
  ASSERT_TRUE(box.Press(IDYES));

  ASSERT_TRUE(wizard_.WaitForPage(IDD_UNINSTALL_COMPLETION, 60000));
  EXPECT_TRUE(wizard_.WaitForButtons(false, false, true));
  Shot(setup_, L"uninstall-completion");
  ASSERT_TRUE(wizard_.Press(WizardButton::Finish));
  DWORD code = 1234;
  ASSERT_TRUE(setup_.WaitForExit(kDefaultTimeoutMs, &code));
  EXPECT_EQ(code, 0u);
  EXPECT_FALSE(test::KeyExists(HKEY_LOCAL_MACHINE, test::kProductKey));
}

}  // namespace
}  // namespace tolvane::drive
