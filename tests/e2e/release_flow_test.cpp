// A vendor's release reaching a user, one prefix, in this order: the project's own
// setup.exe installs 1.0.7; the 1.0.8 setup.exe that `tolvane-pack setup` made
// (make_release.sh) upgrades it from the setup-type page; then the 1.0.7 setup.exe, run
// over 1.0.8, ends its upgrade page at once and writes nothing.
//   TOLVANE_SETUP_EXE          the 1.0.7 setup.exe (the project's build)
//   TOLVANE_OLD_PRODUCT_DIR    its product (product/, order.txt)
//   TOLVANE_RELEASE_DIR        the release: product/, order.txt, setup.exe
#include <windows.h>
#include <commctrl.h>
#include <prsht.h>

#include <gtest/gtest.h>

#include <map>

#include "resources/resource_ids.h"
#include "state/installed_product.h"
#include "tests/e2e/e2e_env.h"
#include "tests/e2e/install_walk.h"
#include "tests/engine/system_state.h"
#include "tests/support/test_files.h"
#include "tests/support/wizard_driver.h"

namespace tolvane::drive {
namespace {

using namespace steps;

std::wstring ReleaseSetup() { return EnvironmentPath(L"TOLVANE_RELEASE_DIR") + L"\\setup.exe"; }

FILETIME LastWrite(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA data = {};
  GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data);
  return data.ftLastWriteTime;
}

class ReleaseFlow : public ::testing::Test {
 protected:
  void SetUp() override { folder_ = ExpectedDefaultFolder(); }

  // From the welcome page of `exe` over the setup-type page (upgrade, the default) to the
  // upgrade completion page; returns the upgrade page's progress bar there.
  int Upgrade(const std::wstring& exe, const std::wstring& shot) {
    Start(setup_, wizard_, exe);
    EXPECT_TRUE(PressWhenEnabled(wizard_, WizardButton::Next));
    EXPECT_TRUE(wizard_.WaitForPage(IDD_SETUP_TYPE)) << "the product does not count as installed";
    EXPECT_TRUE(wizard_.IsChecked(IDC_UPGRADE));
    EXPECT_TRUE(PressWhenEnabled(wizard_, WizardButton::Next));
    EXPECT_TRUE(wizard_.WaitForPage(IDD_UPGRADE_COMPLETION, 60000));
    const HWND page = reinterpret_cast<HWND>(
        SendMessageW(wizard_.Sheet(), PSM_INDEXTOHWND, static_cast<WPARAM>(IDD_UPGRADE - IDD_WELCOME), 0));
    const int bar = page ? static_cast<int>(SendMessageW(GetDlgItem(page, IDC_PROGRESS), PBM_GETPOS, 0, 0)) : -1;
    Shot(setup_, shot);
    EXPECT_TRUE(wizard_.WaitForButtons(false, false, true));
    EXPECT_TRUE(wizard_.Press(WizardButton::Finish));
    DWORD code = 1234;
    EXPECT_TRUE(setup_.WaitForExit(kDefaultTimeoutMs, &code)) << "setup did not end";
    EXPECT_EQ(code, 0u);
    return bar;
  }

  std::wstring folder_;
  SetupProcess setup_;
  Wizard wizard_;
};

TEST_F(ReleaseFlow, TheProjectsSetupInstallsVersion107) {
  ASSERT_FALSE(test::KeyExists(HKEY_LOCAL_MACHINE, test::kProductKey)) << "the prefix is not fresh";
  UseProduct(L"TOLVANE_OLD_PRODUCT_DIR");
  Start(setup_, wizard_, SetupExe());
  WalkToInstall(setup_, wizard_, L"钱七", L"某某翻译公司");
  FinishInstall(setup_, wizard_);
  ExpectProductFiles(folder_);
  EXPECT_EQ(ReadServerVersion(folder_ + L"quavserver.exe"), 263);
}

TEST_F(ReleaseFlow, TheReleaseUpgradesTo108) {
  ASSERT_EQ(ReadServerVersion(folder_ + L"quavserver.exe"), 263) << "an earlier step did not install 1.0.7";
  const std::wstring added = folder_ + L"templates\\release-1.0.8.txt";
  ASSERT_FALSE(test::FileExists(added));

  EXPECT_EQ(Upgrade(ReleaseSetup(), L"release-upgrade-completion"), 100);

  UseProduct(L"TOLVANE_RELEASE_DIR");
  ExpectProductFiles(folder_);  // the changed and the added file included
  EXPECT_TRUE(test::FileExists(added));
  EXPECT_TRUE(SameContents(ProductRoot() + L"templates\\index.html", folder_ + L"templates\\index.html"));
  // What the wizard reads now, by its own rule.
  EXPECT_EQ(ReadServerVersion(folder_ + L"quavserver.exe"), 264);
  ExpectProductRecord(folder_, L"钱七", L"某某翻译公司");
}

TEST_F(ReleaseFlow, TheOldSetupOverTheReleaseEndsAtOnceWithoutWriting) {
  ASSERT_EQ(ReadServerVersion(folder_ + L"quavserver.exe"), 264) << "an earlier step did not upgrade";
  UseProduct(L"TOLVANE_RELEASE_DIR");
  std::map<std::wstring, FILETIME> times;
  for (const std::wstring& entry : ProductEntries()) times[entry] = LastWrite(folder_ + entry);

  EXPECT_EQ(Upgrade(SetupExe(), L"release-old-setup-over-new"), 0);

  ExpectProductFiles(folder_);
  for (const auto& [entry, time] : times) {
    const FILETIME now = LastWrite(folder_ + entry);
    EXPECT_TRUE(now.dwLowDateTime == time.dwLowDateTime && now.dwHighDateTime == time.dwHighDateTime) << Narrow(entry);
  }
  EXPECT_EQ(ReadServerVersion(folder_ + L"quavserver.exe"), 264);
}

}  // namespace
}  // namespace tolvane::drive
