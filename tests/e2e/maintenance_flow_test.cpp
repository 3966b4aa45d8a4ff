// An installed product kept up and then removed, one prefix, in this order: an install,
// an upgrade over the same version that repairs it, an upgrade refused by a newer
// installed server, an upgrade stopped by a file in use, the uninstall, and the welcome
// page of a machine without the product. Each test starts from what the one before left.
#include <windows.h>
#include <commctrl.h>
#include <prsht.h>

#include <gtest/gtest.h>

#include <map>

#include "resources/resource_ids.h"
#include "tests/e2e/e2e_env.h"
#include "tests/e2e/gate_events.h"
#include "tests/e2e/install_walk.h"
#include "tests/e2e/uninstall_gate.h"
#include "tests/engine/system_state.h"
#include "tests/support/test_files.h"
#include "tests/support/wizard_driver.h"

namespace tolvane::drive {
namespace {

using namespace steps;

// Registry values as stored, type and bytes.
std::map<std::wstring, test::RegistryString> ProductRecord() {
  std::map<std::wstring, test::RegistryString> values;
  for (const wchar_t* name : {L"UserName", L"UserCompany", L"InstallPath"}) {
    values[name] = test::ReadRegistryValue(HKEY_LOCAL_MACHINE, test::kProductKey, name);
  }
  return values;
}

bool SameValues(const std::map<std::wstring, test::RegistryString>& a,
                const std::map<std::wstring, test::RegistryString>& b) {
  if (a.size() != b.size()) return false;
  for (const auto& [name, value] : a) {
    const test::RegistryString& other = b.at(name);
    if (!value.present || !other.present || value.type != other.type || value.bytes != other.bytes) return false;
  }
  return true;
}

// Files of the product as entries; folders are those that the product tree has as folders.
std::vector<std::wstring> ProductFiles() {
  std::vector<std::wstring> files;
  for (const std::wstring& entry : ProductEntries()) {
    if (!test::FolderExists(ProductRoot() + entry)) files.push_back(entry);
  }
  return files;
}

std::vector<std::wstring> ProductFolders() {
  std::vector<std::wstring> folders;
  for (const std::wstring& entry : ProductEntries()) {
    if (test::FolderExists(ProductRoot() + entry)) folders.push_back(entry);
  }
  return folders;
}

FILETIME LastWrite(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA data = {};
  GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data);
  return data.ftLastWriteTime;
}

bool SameTime(const FILETIME& a, const FILETIME& b) {
  return a.dwLowDateTime == b.dwLowDateTime && a.dwHighDateTime == b.dwHighDateTime;
}

class MaintenanceFlow : public ::testing::Test {
 protected:
  void SetUp() override { folder_ = ExpectedDefaultFolder(); }

  void ExpectInstalled() {
    ASSERT_TRUE(test::KeyExists(HKEY_LOCAL_MACHINE, test::kProductKey)) << "an earlier step did not install";
    ASSERT_TRUE(test::FileExists(folder_ + L"quavserver.exe")) << "an earlier step did not install";
  }

  // From the welcome page of `exe` to the setup-type page.
  void StartAtSetupType(const std::wstring& exe) {
    Start(setup_, wizard_, exe);
    ASSERT_TRUE(PressWhenEnabled(wizard_, WizardButton::Next));
    ASSERT_TRUE(wizard_.WaitForPage(IDD_SETUP_TYPE)) << "the product does not count as installed";
  }

  // The progress bar of a progress page, also once the sheet has moved past it.
  int BarPosition(int templateId) const {
    const HWND page = reinterpret_cast<HWND>(
        SendMessageW(wizard_.Sheet(), PSM_INDEXTOHWND, static_cast<WPARAM>(templateId - IDD_WELCOME), 0));
    return page ? static_cast<int>(SendMessageW(GetDlgItem(page, IDC_PROGRESS), PBM_GETPOS, 0, 0)) : -1;
  }

  void Finish() {
    ASSERT_TRUE(wizard_.WaitForButtons(false, false, true));
    ASSERT_TRUE(wizard_.Press(WizardButton::Finish));
    DWORD code = 1234;
    ASSERT_TRUE(setup_.WaitForExit(kDefaultTimeoutMs, &code)) << "setup did not end";
    EXPECT_EQ(code, 0u);
  }

  std::wstring folder_;
  SetupProcess setup_;
  Wizard wizard_;
};

TEST_F(MaintenanceFlow, UpgradeOverTheSameVersionRestoresFilesAndKeepsTheRecord) {
  ASSERT_FALSE(test::KeyExists(HKEY_LOCAL_MACHINE, test::kProductKey)) << "the prefix is not fresh";
  Start(setup_, wizard_, SetupExe());
  WalkToInstall(setup_, wizard_, L"赵六", L"某某翻译公司");
  FinishInstall(setup_, wizard_);
  ExpectProductFiles(folder_);

  const std::vector<std::wstring> files = ProductFiles();
  ASSERT_GE(files.size(), 3u);
  const std::wstring removed = files[files.size() / 2];
  const std::wstring changed = files.back();
  ASSERT_TRUE(DeleteFileW((folder_ + removed).c_str()));
  ASSERT_TRUE(test::WriteFileBytes(folder_ + changed, {'o', 'l', 'd'}));
  ASSERT_TRUE(SetFileAttributesW((folder_ + changed).c_str(), FILE_ATTRIBUTE_READONLY));
  const auto record = ProductRecord();
  std::vector<uint8_t> groupLink, desktopLink;
  ASSERT_TRUE(test::ReadFileBytes(test::GroupShortcut(), groupLink));
  ASSERT_TRUE(test::ReadFileBytes(test::DesktopShortcut(), desktopLink));

  StartAtSetupType(SetupExe());
  EXPECT_TRUE(wizard_.IsChecked(IDC_UPGRADE));
  ASSERT_TRUE(PressWhenEnabled(wizard_, WizardButton::Next));
  ASSERT_TRUE(wizard_.WaitForPage(IDD_UPGRADE_COMPLETION, 60000));
  EXPECT_EQ(BarPosition(IDD_UPGRADE), 100);
  EXPECT_EQ(wizard_.Text(IDC_TITLE), L"Tolvane翻译服务器安装向导完成");
  Shot(setup_, L"maintenance-upgrade-completion");
  Finish();

  ExpectProductFiles(folder_);
  EXPECT_TRUE(test::HasOnlyNormalAttributes(folder_ + changed));
  EXPECT_TRUE(SameValues(ProductRecord(), record)) << "the upgrade changed the product record";
  std::vector<uint8_t> groupAfter, desktopAfter;
  ASSERT_TRUE(test::ReadFileBytes(test::GroupShortcut(), groupAfter));
  ASSERT_TRUE(test::ReadFileBytes(test::DesktopShortcut(), desktopAfter));
  EXPECT_EQ(groupAfter, groupLink);
  EXPECT_EQ(desktopAfter, desktopLink);
}

TEST_F(MaintenanceFlow, NewerInstalledServerEndsTheUpgradeAtOnceWithoutChangingFiles) {
  ExpectInstalled();
  const std::wstring newer = EnvironmentPath(L"TOLVANE_NEWER_SERVER_EXE");
  ASSERT_FALSE(newer.empty()) << "TOLVANE_NEWER_SERVER_EXE is not set";
  const std::wstring server = folder_ + L"quavserver.exe";
  ASSERT_TRUE(CopyFileW(newer.c_str(), server.c_str(), FALSE));
  // A damaged file that an upgrade would have repaired.
  const std::wstring changed = ProductFiles().back();
  ASSERT_TRUE(test::WriteFileBytes(folder_ + changed, {'k', 'e', 'e', 'p'}));
  std::map<std::wstring, FILETIME> times;
  for (const std::wstring& file : ProductFiles()) times[file] = LastWrite(folder_ + file);

  StartAtSetupType(SetupExe());
  ASSERT_TRUE(PressWhenEnabled(wizard_, WizardButton::Next));
  ASSERT_TRUE(wizard_.WaitForPage(IDD_UPGRADE_COMPLETION, 60000));
  EXPECT_EQ(BarPosition(IDD_UPGRADE), 0);
  Shot(setup_, L"maintenance-newer-server");
  Finish();

  EXPECT_TRUE(SameContents(newer, server));
  std::vector<uint8_t> kept;
  ASSERT_TRUE(test::ReadFileBytes(folder_ + changed, kept));
  EXPECT_EQ(kept, (std::vector<uint8_t>{'k', 'e', 'e', 'p'}));
  for (const auto& [file, time] : times) EXPECT_TRUE(SameTime(LastWrite(folder_ + file), time)) << Narrow(file);

  // Back to the packaged state for the steps that follow.
  ASSERT_TRUE(CopyFileW((ProductRoot() + L"quavserver.exe").c_str(), server.c_str(), FALSE));
  ASSERT_TRUE(CopyFileW((ProductRoot() + changed).c_str(), (folder_ + changed).c_str(), FALSE));
}

TEST_F(MaintenanceFlow, FileHeldOpenStopsTheUpgradeWithItsMessageAndClosesTheWizard) {
  ExpectInstalled();
  const std::vector<std::wstring> files = ProductFiles();
  const std::wstring held = folder_ + files[files.size() / 2];
  const auto record = ProductRecord();

  StartAtSetupType(SetupExe());
  UniqueFile holder(CreateFileW(held.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_NE(holder.get(), INVALID_HANDLE_VALUE);
  ASSERT_TRUE(PressWhenEnabled(wizard_, WizardButton::Next));
  MessageBoxWindow box = WaitForBox(setup_, L"建立文件 " + held + L" 出错。", 60000);
  ASSERT_TRUE(box) << "no message for the file in use";
  const test::MessageBoxInfo info = box.Read();
  EXPECT_EQ(info.icon, test::MessageBoxIcon::Error);
  EXPECT_EQ(info.buttons, std::vector<int>{IDOK});
  EXPECT_EQ(wizard_.ActiveTemplate(), IDD_UPGRADE);
  Shot(setup_, L"maintenance-file-in-use");
  ASSERT_TRUE(box.Press(IDOK));
  DWORD code = 1234;
  ASSERT_TRUE(setup_.WaitForExit(kDefaultTimeoutMs, &code)) << "the wizard stayed open after the error";
  EXPECT_EQ(code, 0u);
  holder.reset();

  EXPECT_TRUE(SameContents(ProductRoot() + files[files.size() / 2], held));
  EXPECT_TRUE(SameValues(ProductRecord(), record));
}

TEST_F(MaintenanceFlow, UninstallRemovesWhatTheInstallMadeAndKeepsTheProductsOwnFiles) {
  ExpectInstalled();
  const std::wstring uninstallExe = EnvironmentPath(L"TOLVANE_UNINSTALL_GATED_SETUP_EXE");
  ASSERT_FALSE(uninstallExe.empty()) << "TOLVANE_UNINSTALL_GATED_SETUP_EXE is not set";
  TestGate gate(kUninstallGateReached, kUninstallGateOpen);
  ASSERT_TRUE(gate.Valid());

  // What the running product and its users leave besides the installed files.
  const std::wstring settings = std::wstring(test::kProductKey) + L"\\1.0";
  test::SetStringValue(HKEY_CURRENT_USER, settings + L"\\Window\\Placement", L"x", L"10");
  test::SetStringValue(HKEY_CURRENT_USER, settings + L"\\Recent", L"project", L"手册");
  test::SetStringValue(HKEY_CURRENT_USER, settings, L"Language", L"zh-CN");
  ASSERT_TRUE(test::FolderExists(folder_ + L"log"));
  const std::wstring ownLog = folder_ + L"log\\server-2026-12-07.log";
  ASSERT_TRUE(test::WriteFileBytes(ownLog, {'u', 'p'}));
  const std::vector<std::wstring> files = ProductFiles();
  ASSERT_TRUE(SetFileAttributesW((folder_ + L"quavserver.exe").c_str(), FILE_ATTRIBUTE_READONLY));
  ASSERT_TRUE(SetFileAttributesW((folder_ + files.back()).c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));

  StartAtSetupType(uninstallExe);
  ASSERT_TRUE(wizard_.Choose(IDC_UNINSTALL));
  ASSERT_TRUE(wizard_.Press(WizardButton::Next));
  MessageBoxWindow question = WaitForBox(setup_, kUninstallQuestion);
  ASSERT_TRUE(question) << "no uninstall question";
  ASSERT_TRUE(question.Press(IDYES));
  ASSERT_TRUE(gate.WaitReached()) << "the uninstall did not start";
  ASSERT_TRUE(wizard_.WaitForPage(IDD_UNINSTALL));

  // Cancel while the uninstall runs: no question, no end, the page stays.
  ASSERT_TRUE(wizard_.IsButtonEnabled(WizardButton::Cancel));
  ASSERT_TRUE(wizard_.Press(WizardButton::Cancel));
  // The click is handled before a message posted after it; once the buttons show its
  // request, the Cancel has been dealt with. The page's own buttons are put back after.
  ASSERT_TRUE(PostMessageW(wizard_.Sheet(), PSM_SETWIZBUTTONS, 0, PSWIZB_BACK));
  ASSERT_TRUE(wizard_.WaitForButtons(true, false, false));
  ASSERT_TRUE(PostMessageW(wizard_.Sheet(), PSM_SETWIZBUTTONS, 0, 0));
  ASSERT_TRUE(wizard_.WaitForButtons(false, false, false));
  EXPECT_TRUE(setup_.IsRunning());
  EXPECT_EQ(wizard_.ActiveTemplate(), IDD_UNINSTALL);
  EXPECT_FALSE(MessageBoxWindow::Find(setup_.Id(), kMessageCaption, 0));
  Shot(setup_, L"maintenance-uninstall-held");
  EXPECT_TRUE(test::FileExists(ownLog));
  EXPECT_TRUE(test::KeyExists(HKEY_LOCAL_MACHINE, test::kProductKey)) << "the uninstall did not wait at its gate";

  gate.Open();
  ASSERT_TRUE(wizard_.WaitForPage(IDD_UNINSTALL_COMPLETION, 60000));
  EXPECT_EQ(BarPosition(IDD_UNINSTALL), 80);
  Shot(setup_, L"maintenance-uninstall-completion");
  Finish();

  for (const std::wstring& file : files) EXPECT_FALSE(test::FileExists(folder_ + file)) << Narrow(file);
  for (const std::wstring& folder : ProductFolders()) {
    EXPECT_EQ(test::FolderExists(folder_ + folder), folder == L"log") << Narrow(folder);
  }
  EXPECT_TRUE(test::FileExists(ownLog));
  EXPECT_TRUE(test::FolderExists(folder_));
  EXPECT_FALSE(test::FileExists(test::DesktopShortcut()));
  EXPECT_FALSE(test::FileExists(test::GroupShortcut()));
  EXPECT_FALSE(test::FolderExists(test::GroupFolder()));
  EXPECT_FALSE(test::KeyExists(HKEY_LOCAL_MACHINE, test::kProductKey));
  EXPECT_FALSE(test::KeyExists(HKEY_CURRENT_USER, settings));
  EXPECT_TRUE(test::KeyExists(HKEY_CURRENT_USER, test::kProductKey));
}

TEST_F(MaintenanceFlow, AfterTheUninstallTheWelcomePageLeadsToTheLicence) {
  ASSERT_FALSE(test::KeyExists(HKEY_LOCAL_MACHINE, test::kProductKey)) << "an earlier step did not uninstall";
  Start(setup_, wizard_, SetupExe());
  ASSERT_TRUE(PressWhenEnabled(wizard_, WizardButton::Next));
  ASSERT_TRUE(wizard_.WaitForPage(IDD_LICENSE));
  EXPECT_TRUE(wizard_.WaitForButtons(false, false, false));
  ASSERT_TRUE(wizard_.Press(WizardButton::Cancel));
  DWORD code = 1234;
  ASSERT_TRUE(setup_.WaitForExit(kDefaultTimeoutMs, &code));
  EXPECT_EQ(code, 0u);
}

}  // namespace
}  // namespace tolvane::drive
