#include "tests/e2e/keyboard_keys.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "tests/e2e/e2e_env.h"
#include "tests/support/test_files.h"

namespace tolvane::drive {

namespace {

// The X window that Wine shows a top-level window in.
unsigned long XWindowOf(HWND window) {
  return static_cast<unsigned long>(reinterpret_cast<ULONG_PTR>(GetPropW(window, L"__wine_x11_whole_window")));
}

}  // namespace

std::string UnixPath(const std::wstring& path) {
  using ToUnix = char*(CDECL*)(const wchar_t*);
  const auto toUnix = reinterpret_cast<ToUnix>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
  if (!toUnix) return std::string();
  char* name = toUnix(path.c_str());
  if (!name) return std::string();
  std::string result(name);
  HeapFree(GetProcessHeap(), 0, name);
  return result;
}

// Wine starts a Unix program by fork and exec and hands back no process, so the shell
// leaves a file with the status once the script is done, and that file is what is
// waited for.
std::string RunUnixShell(const std::string& script, DWORD timeoutMs) {
  static int serial = 0;
  wchar_t temp[MAX_PATH] = {};
  if (!GetTempPathW(MAX_PATH, temp)) return std::string();
  const std::wstring done = std::wstring(temp) + L"tolvane-shell-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                            std::to_wstring(++serial) + L".done";
  DeleteFileW(done.c_str());
  const std::string doneUnix = UnixPath(done);
  if (doneUnix.empty()) return std::string();

  // Wine hands the wide command line to the Unix program in the Unix locale's encoding,
  // UTF-8 on the bench.
  const std::string line = "PATH=/usr/sbin:/usr/bin:/sbin:/bin; " + script + "; echo $? > '" + doneUnix + "'";
  std::wstring command = L"Z:\\bin\\sh -c \"" + FromUtf8(line) + L"\"";
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(L"Z:\\bin\\sh", &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &process)) {
    return std::string();
  }
  if (process.hProcess) CloseHandle(process.hProcess);
  if (process.hThread) CloseHandle(process.hThread);
  // The shell creates the file before it writes the status into it.
  std::vector<uint8_t> status;
  if (!WaitUntil([&] { return test::ReadFileBytes(done, status) && !status.empty() && status.back() == '\n'; },
                 timeoutMs)) {
    return std::string();
  }
  DeleteFileW(done.c_str());
  return std::string(status.begin(), status.end() - 1);
}

void SendKeys(HWND window, const std::string& actions) {
  const unsigned long xWindow = XWindowOf(window);
  ASSERT_NE(xWindow, 0u) << "no X window for the wizard";
  const std::string status =
      RunUnixShell("xdotool windowfocus " + std::to_string(xWindow) + " && xdotool " + actions, kKeysTimeoutMs);
  EXPECT_EQ(status, "0") << "xdotool failed or did not finish: " << actions;
}

std::string Quoted(const std::wstring& text) { return "'" + Narrow(text) + "'"; }

void PasteWithKeys(HWND window, const std::wstring& text) {
  const size_t bytes = (text.size() + 1) * sizeof(wchar_t);
  HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, bytes);
  ASSERT_NE(memory, nullptr);
  std::memcpy(GlobalLock(memory), text.c_str(), bytes);
  GlobalUnlock(memory);
  ASSERT_TRUE(OpenClipboard(nullptr));
  EmptyClipboard();
  const bool placed = SetClipboardData(CF_UNICODETEXT, memory) != nullptr;  // the clipboard owns it now
  CloseClipboard();
  if (!placed) GlobalFree(memory);
  ASSERT_TRUE(placed);
  SendKeys(window, "key ctrl+v");
}

HWND FocusOf(const Wizard& wizard) {
  GUITHREADINFO info = {};
  info.cbSize = sizeof(info);
  if (!GetGUIThreadInfo(GetWindowThreadProcessId(wizard.Sheet(), nullptr), &info)) return nullptr;
  return info.hwndFocus;
}

void KeyboardWizard::FinishWithEnter(int templateId, const wchar_t* shot) {
  ASSERT_TRUE(wizard_.WaitForPage(templateId, kWorkTimeoutMs));
  ASSERT_TRUE(WaitUntil([&] { return FocusOf(wizard_) == FinishButton(); }, kKeysTimeoutMs))
      << "the focus is not on Finish";
  Shot(setup_, shot);
  SendKeys(wizard_.Sheet(), "key Return");
  DWORD code = 1234;
  ASSERT_TRUE(setup_.WaitForExit(kKeysTimeoutMs, &code)) << "Enter on Finish did not end the wizard";
  EXPECT_EQ(code, 0u);
}

void KeyboardWizard::AcceptLicenceWithKeys() {
  // The agreement has the focus; Alt+A accepts it and leaves the focus on that choice.
  KeysOn(IDD_LICENSE, &KeyboardWizard::LicenceText, "key alt+a");
  ASSERT_TRUE(WaitUntil([&] { return wizard_.IsChecked(IDC_ACCEPT) && wizard_.IsButtonEnabled(WizardButton::Next); }));
  KeysOn(IDD_LICENSE, &KeyboardWizard::AcceptButton, "key Return");
}

void KeyboardWizard::StartUpgradeWithKeys(const std::wstring& exe) {
  steps::Start(setup_, wizard_, exe);
  KeysOn(IDD_WELCOME, &KeyboardWizard::NextButton, "key Return");
  KeysOn(IDD_SETUP_TYPE, &KeyboardWizard::UpgradeOption, "key Return");
}

void KeyboardWizard::UpgradeWithKeys(const wchar_t* shot) {
  StartUpgradeWithKeys(SetupExe());
  if (HasFatalFailure()) return;
  FinishWithEnter(IDD_UPGRADE_COMPLETION, shot);
}

void KeyboardWizard::UninstallWithKeys(const wchar_t* shot, const std::wstring& exe) {
  steps::Start(setup_, wizard_, exe);
  KeysOn(IDD_WELCOME, &KeyboardWizard::NextButton, "key Return");
  KeysOn(IDD_SETUP_TYPE, &KeyboardWizard::UpgradeOption, "key Down");
  ASSERT_TRUE(WaitUntil([&] { return wizard_.IsChecked(IDC_REINSTALL); })) << "Down did not choose the re-install";
  SendKeys(wizard_.Sheet(), "key Down");
  ASSERT_TRUE(WaitUntil([&] { return wizard_.IsChecked(IDC_UNINSTALL); })) << "Down did not choose the uninstall";
  KeysOn(IDD_SETUP_TYPE, &KeyboardWizard::UninstallOption, "key Return");
  MessageBoxWindow question = WaitForBox(setup_, kUninstallQuestion, kKeysTimeoutMs);
  ASSERT_TRUE(question) << "no uninstall question";
  SendKeys(question.Window(), "key y");
  FinishWithEnter(IDD_UNINSTALL_COMPLETION, shot);
}

}  // namespace tolvane::drive
