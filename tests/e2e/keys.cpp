#include "tests/e2e/keys.h"

#include <gtest/gtest.h>

#include <vector>

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

// Wine hands back no process for a Unix program, so the shell leaves a file with the
// status once the script is done, and that file is what is waited for.
std::string RunUnixShell(const std::string& script, DWORD timeoutMs) {
  static int serial = 0;
  wchar_t temp[MAX_PATH] = {};
  if (!GetTempPathW(MAX_PATH, temp)) return std::string();
  const std::wstring done = std::wstring(temp) + L"tolvane-shell-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                            std::to_wstring(++serial) + L".done";
  DeleteFileW(done.c_str());
  const std::string doneUnix = UnixPath(done);
  if (doneUnix.empty()) return std::string();

  const std::string line = "PATH=/usr/sbin:/usr/bin:/sbin:/bin; " + script + "; echo $? > '" + doneUnix + "'";
  std::wstring command = L"Z:\\bin\\sh -c \"";
  command += std::wstring(line.begin(), line.end());
  command += L"\"";
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
      RunUnixShell("xdotool windowfocus " + std::to_string(xWindow) + " && xdotool " + actions);
  EXPECT_EQ(status, "0") << "xdotool failed or did not finish: " << actions;
}

std::string Quoted(const std::wstring& text) {
  std::string out = "'";
  for (wchar_t c : text) out += static_cast<char>(c);  // ASCII texts only
  return out + "'";
}

HWND FocusOf(const Wizard& wizard) {
  GUITHREADINFO info = {};
  info.cbSize = sizeof(info);
  if (!GetGUIThreadInfo(GetWindowThreadProcessId(wizard.Sheet(), nullptr), &info)) return nullptr;
  return info.hwndFocus;
}

}  // namespace tolvane::drive
