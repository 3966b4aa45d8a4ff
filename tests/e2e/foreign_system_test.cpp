// The wizard on a system whose ANSI code page is not the Chinese one (the bench's locale
// chooses it; the test is told which code page to expect): an install by keyboard into a
// folder whose name that code page cannot hold, the folder shown again as recorded, an
// upgrade and the uninstall. The package's names include characters that only the
// Simplified-Chinese code page has. Each test starts from what the one before left.
#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <string>

#include "resources/resource_ids.h"
#include "tests/e2e/e2e_env.h"
#include "tests/e2e/install_walk.h"
#include "tests/e2e/keyboard_keys.h"
#include "tests/engine/system_state.h"
#include "tests/support/test_files.h"
#include "tests/support/wizard_driver.h"

namespace tolvane::drive {
namespace {

using namespace steps;

// 简 and 说 are in none of code pages 1252, 932, 950 and 949; 服务器 is Simplified too.
constexpr wchar_t kFolder[] = L"C:\\Tolvane \u7B80\u4F53\u8BF4\u660E\\\u670D\u52A1\u5668\\";
constexpr wchar_t kName[] = L"Foreign User";
constexpr wchar_t kCompany[] = L"\u7FFB\u8BD1\u793E Co";

// Every entry below `folder` (relative, backslashes), folders and files alike.
void ListTree(const std::wstring& folder, const std::wstring& prefix, std::set<std::wstring>& out) {
  WIN32_FIND_DATAW found = {};
  HANDLE search = FindFirstFileW((folder + prefix + L"*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    const std::wstring name = found.cFileName;
    if (name == L"." || name == L"..") continue;
    out.insert(prefix + name);
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ListTree(folder, prefix + name + L"\\", out);
  } while (FindNextFileW(search, &found));
  FindClose(search);
}

// The agreement's first line, from the text the build makes the RTF of.
std::wstring LicenceHeading() {
  std::ifstream in(EnvironmentPath(L"TOLVANE_LICENSE_TEXT").c_str(), std::ios::binary);
  std::string line;
  std::getline(in, line);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return FromUtf8(line);
}

using ForeignSystem = KeyboardWizard;

TEST_F(ForeignSystem, InstallByKeyboardIntoAFolderOutsideTheCodePage) {
  const std::wstring codePage = Environment(L"TOLVANE_EXPECTED_ACP");
  ASSERT_FALSE(codePage.empty());
  ASSERT_EQ(std::to_wstring(GetACP()), codePage) << "the bench does not run the locale asked for";
  ASSERT_FALSE(test::KeyExists(HKEY_LOCAL_MACHINE, test::kProductKey)) << "the prefix is not fresh";

  Start(setup_, wizard_, SetupExe());
  KeysOn(IDD_WELCOME, &ForeignSystem::NextButton, "key Return");
  ASSERT_TRUE(wizard_.WaitForPage(IDD_LICENSE, kWorkTimeoutMs));
  // The agreement is code page 936 RTF: it reads the same on every system.
  const std::wstring heading = LicenceHeading();
  ASSERT_FALSE(heading.empty());
  EXPECT_EQ(wizard_.Text(IDC_LICENSE_TEXT).substr(0, heading.size()), heading);
  Shot(setup_, L"foreign-licence");
  AcceptLicenceWithKeys();
  KeysOn(IDD_USER_INFO, &ForeignSystem::NameBox, "type --delay 20 " + Quoted(kName));
  ASSERT_TRUE(WaitUntil([&] { return wizard_.Text(IDC_USER_NAME) == kName; }));
  SendKeys(wizard_.Sheet(), "key Tab");
  ASSERT_TRUE(WaitUntil([&] { return FocusOf(wizard_) == CompanyBox(); })) << "Tab did not reach the company box";
  PasteWithKeys(wizard_.Sheet(), kCompany);
  ASSERT_TRUE(WaitUntil([&] { return wizard_.Text(IDC_COMPANY) == kCompany; })) << Narrow(wizard_.Text(IDC_COMPANY));
  SendKeys(wizard_.Sheet(), "key Return");
  // The focus comes with the proposed folder selected, so the pasted text replaces it.
  ASSERT_TRUE(wizard_.WaitForPage(IDD_SELECT_FOLDER, kWorkTimeoutMs));
  ASSERT_TRUE(WaitUntil([&] { return FocusOf(wizard_) == FolderBox(); }, kKeysTimeoutMs));
  PasteWithKeys(wizard_.Sheet(), kFolder);
  ASSERT_TRUE(WaitUntil([&] { return wizard_.Text(IDC_FOLDER) == kFolder; })) << Narrow(wizard_.Text(IDC_FOLDER));
  SendKeys(wizard_.Sheet(), "key Return");
  FinishWithEnter(IDD_COMPLETION, L"foreign-install-completion");

  // The installed tree is the package's, byte for byte, and nothing else.
  ExpectProductFiles(kFolder);
  std::set<std::wstring> installed;
  ListTree(kFolder, L"", installed);
  const std::vector<std::wstring> entries = ProductEntries();
  EXPECT_EQ(installed, std::set<std::wstring>(entries.begin(), entries.end()));
  ExpectProductRecord(kFolder, kName, kCompany);
}

TEST_F(ForeignSystem, ReinstallShowsTheFolderAsTyped) {
  ASSERT_TRUE(test::KeyExists(HKEY_LOCAL_MACHINE, test::kProductKey)) << "the install before did not happen";
  Start(setup_, wizard_, SetupExe());
  KeysOn(IDD_WELCOME, &ForeignSystem::NextButton, "key Return");
  KeysOn(IDD_SETUP_TYPE, &ForeignSystem::UpgradeOption, "key Down");
  ASSERT_TRUE(WaitUntil([&] { return wizard_.IsChecked(IDC_REINSTALL); })) << "Down did not choose the re-install";
  SendKeys(wizard_.Sheet(), "key Return");
  AcceptLicenceWithKeys();
  ASSERT_TRUE(wizard_.WaitForPage(IDD_USER_INFO, kWorkTimeoutMs));
  EXPECT_EQ(wizard_.Text(IDC_COMPANY), kCompany);
  KeysOn(IDD_USER_INFO, &ForeignSystem::NameBox, "key Return");
  ASSERT_TRUE(wizard_.WaitForPage(IDD_SELECT_FOLDER, kWorkTimeoutMs));
  EXPECT_EQ(wizard_.Text(IDC_FOLDER), kFolder);
  // Leaving here changes nothing.
  KeysOn(IDD_SELECT_FOLDER, &ForeignSystem::FolderBox, "key Escape");
  DWORD code = 1234;
  ASSERT_TRUE(setup_.WaitForExit(kKeysTimeoutMs, &code)) << "Escape did not close the wizard";
  EXPECT_EQ(code, 0u);
}

TEST_F(ForeignSystem, UpgradeByKeyboardPutsBackALostFile) {
  // 文档\简体说明\许可协议.txt
  const std::wstring lost =
      std::wstring(kFolder) + L"\u6587\u6863\\\u7B80\u4F53\u8BF4\u660E\\\u8BB8\u53EF\u534F\u8BAE.txt";
  ASSERT_TRUE(DeleteFileW(lost.c_str())) << "the install before did not happen";
  UpgradeWithKeys(L"foreign-upgrade-completion");
  ExpectProductFiles(kFolder);
}

TEST_F(ForeignSystem, UninstallByKeyboardRemovesTheInstall) {
  ASSERT_TRUE(test::KeyExists(HKEY_LOCAL_MACHINE, test::kProductKey)) << "the install before did not happen";
  UninstallWithKeys(L"foreign-uninstall-completion");

  EXPECT_FALSE(test::FolderExists(kFolder)) << "the install folder stayed";
  EXPECT_TRUE(test::FolderExists(L"C:\\Tolvane \u7B80\u4F53\u8BF4\u660E")) << "a folder above the install was removed";
  EXPECT_FALSE(test::FileExists(test::DesktopShortcut()));
  EXPECT_FALSE(test::FileExists(test::GroupShortcut()));
  EXPECT_FALSE(test::KeyExists(HKEY_LOCAL_MACHINE, test::kProductKey));
}

}  // namespace
}  // namespace tolvane::drive
