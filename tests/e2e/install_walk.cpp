#include "tests/e2e/install_walk.h"

#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <fstream>

#include "resources/resource_ids.h"
#include "tests/e2e/e2e_env.h"
#include "tests/engine/system_state.h"
#include "tests/support/screenshot.h"
#include "tests/support/test_files.h"

namespace tolvane::drive {

std::wstring ExpectedDefaultFolder() {
  // A 32-bit program on 64-bit Windows installs below the 32-bit Program Files folder.
  const bool wow64 = !Environment(L"PROCESSOR_ARCHITEW6432").empty();
  return wow64 ? L"C:\\Program Files (x86)\\QUAV_SRV\\" : L"C:\\Program Files\\QUAV_SRV\\";
}

std::wstring ProductRoot() {
  std::wstring root = EnvironmentPath(L"TOLVANE_PRODUCT_DIR");
  if (!root.empty() && root.back() != L'\\') root += L'\\';
  return root + L"product\\";
}

std::vector<std::wstring> ProductEntries() {
  std::wstring order = EnvironmentPath(L"TOLVANE_PRODUCT_DIR") + L"\\order.txt";
  std::ifstream in(order.c_str(), std::ios::binary);
  std::vector<std::wstring> entries;
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    std::wstring entry = FromUtf8(line);
    for (wchar_t& c : entry) {
      if (c == L'/') c = L'\\';
    }
    entries.push_back(entry);
  }
  return entries;
}

void Shot(const SetupProcess& setup, const std::wstring& name) {
  PaintNow(setup.Id());
  const std::wstring file = ShotDir() + L"\\" + name + L".png";
  EXPECT_TRUE(SavePng(CaptureSettledScreen(), file)) << Narrow(file);
}

MessageBoxWindow WaitForBox(const SetupProcess& setup, const std::wstring& text, DWORD timeoutMs) {
  MessageBoxWindow found;
  WaitUntil(
      [&] {
        for (HWND box : test::FindMessageBoxes({kMessageCaption, setup.Id()})) {
          if (test::ReadMessageBox(box).text == text) {
            found = MessageBoxWindow(box);
            return true;
          }
        }
        return false;
      },
      timeoutMs);
  return found;
}

bool PressWhenEnabled(const Wizard& wizard, WizardButton button) {
  return WaitUntil([&] { return wizard.IsButtonEnabled(button); }) && wizard.Press(button);
}

std::set<DWORD> ThreadsOf(DWORD processId) {
  std::set<DWORD> threads;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return threads;
  THREADENTRY32 entry = {};
  entry.dwSize = sizeof(entry);
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
    if (entry.th32OwnerProcessID == processId) threads.insert(entry.th32ThreadID);
  }
  CloseHandle(snapshot);
  return threads;
}

bool SameContents(const std::wstring& a, const std::wstring& b) {
  std::vector<uint8_t> left, right;
  return test::ReadFileBytes(a, left) && test::ReadFileBytes(b, right) && left == right;
}

}  // namespace tolvane::drive

namespace tolvane::drive::steps {

void Start(SetupProcess& setup, Wizard& wizard, const std::wstring& exe) {
  std::wstring error;
  ASSERT_TRUE(setup.Start(exe, &error)) << Narrow(error);
  wizard = Wizard::Find(setup.Id());
  ASSERT_TRUE(wizard) << "no wizard window appeared";
  ASSERT_TRUE(wizard.WaitForPage(IDD_WELCOME));
}

void UseProduct(const wchar_t* variable) {
  const std::wstring dir = Environment(variable);
  ASSERT_FALSE(dir.empty()) << Narrow(variable) << " is not set";
  ASSERT_TRUE(SetEnvironmentVariableW(L"TOLVANE_PRODUCT_DIR", dir.c_str()));
}

void WalkToInstall(const SetupProcess& setup, const Wizard& wizard, const std::wstring& name,
                   const std::wstring& company, const std::function<void()>& beforeLastNext) {
  ASSERT_TRUE(PressWhenEnabled(wizard, WizardButton::Next));
  ASSERT_TRUE(WaitUntil([&] {
    const int page = wizard.ActiveTemplate();
    return page == IDD_SETUP_TYPE || page == IDD_LICENSE;
  }));
  if (wizard.ActiveTemplate() == IDD_SETUP_TYPE) {
    ASSERT_TRUE(wizard.Choose(IDC_REINSTALL));
    ASSERT_TRUE(PressWhenEnabled(wizard, WizardButton::Next));
    ASSERT_TRUE(wizard.WaitForPage(IDD_LICENSE));
  }
  ASSERT_TRUE(wizard.Choose(IDC_ACCEPT));
  ASSERT_TRUE(PressWhenEnabled(wizard, WizardButton::Next));
  ASSERT_TRUE(wizard.WaitForPage(IDD_USER_INFO));
  ASSERT_TRUE(wizard.Type(IDC_USER_NAME, name));
  ASSERT_TRUE(wizard.Type(IDC_COMPANY, company));
  ASSERT_TRUE(PressWhenEnabled(wizard, WizardButton::Next));
  ASSERT_TRUE(wizard.WaitForPage(IDD_SELECT_FOLDER));
  ASSERT_TRUE(wizard.Type(IDC_FOLDER, ExpectedDefaultFolder()));
  const bool overwrite = test::FileExists(ExpectedDefaultFolder() + L"quavserver.exe");
  ASSERT_TRUE(WaitUntil([&] { return wizard.IsButtonEnabled(WizardButton::Next); }));
  if (beforeLastNext) beforeLastNext();
  ASSERT_TRUE(wizard.Press(WizardButton::Next));
  if (overwrite) {
    MessageBoxWindow box = WaitForBox(setup, kOverwriteQuestion);
    ASSERT_TRUE(box) << "no overwrite question";
    ASSERT_TRUE(box.Press(IDYES));
  }
  ASSERT_TRUE(WaitUntil([&] { return wizard.ActiveTemplate() != IDD_SELECT_FOLDER; }));
}

void FinishInstall(SetupProcess& setup, const Wizard& wizard) {
  ASSERT_TRUE(wizard.WaitForPage(IDD_COMPLETION, 60000));
  ASSERT_TRUE(wizard.WaitForButtons(false, false, true));
  ASSERT_TRUE(wizard.Press(WizardButton::Finish));
  DWORD code = 1234;
  ASSERT_TRUE(setup.WaitForExit(kDefaultTimeoutMs, &code)) << "setup did not end";
  EXPECT_EQ(code, 0u);
}

void ExpectProductFiles(const std::wstring& folder) {
  const std::vector<std::wstring> entries = ProductEntries();
  ASSERT_FALSE(entries.empty()) << "no product entries";
  const std::wstring product = ProductRoot();
  size_t files = 0;
  for (const std::wstring& entry : entries) {
    if (test::FolderExists(product + entry)) {
      EXPECT_TRUE(test::FolderExists(folder + entry)) << Narrow(entry);
    } else {
      ++files;
      EXPECT_TRUE(SameContents(product + entry, folder + entry)) << Narrow(entry);
    }
  }
  EXPECT_GT(files, 0u);
}

void ExpectProductRecord(const std::wstring& folder, const std::wstring& name, const std::wstring& company) {
  const test::RegistryString path = test::ReadRegistryValue(HKEY_LOCAL_MACHINE, test::kProductKey, L"InstallPath");
  ASSERT_TRUE(path.present) << "no product record";
  EXPECT_EQ(path.type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(path.text(), folder);
  EXPECT_EQ(test::ReadRegistryValue(HKEY_LOCAL_MACHINE, test::kProductKey, L"UserName").text(), name);
  EXPECT_EQ(test::ReadRegistryValue(HKEY_LOCAL_MACHINE, test::kProductKey, L"UserCompany").text(), company);
  for (const std::wstring& link : {test::GroupShortcut(), test::DesktopShortcut()}) {
    test::Shortcut shortcut;
    ASSERT_TRUE(test::ReadShortcut(link, shortcut)) << Narrow(link);
    EXPECT_EQ(_wcsicmp(shortcut.target.c_str(), (folder + L"quavserver.exe").c_str()), 0) << Narrow(shortcut.target);
  }
}

}  // namespace tolvane::drive::steps
