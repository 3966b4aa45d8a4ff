// What the end-to-end test programs share: where setup.exe and the screenshot folder
// are, and a window of "another program" (the test itself) that can be made active.
#pragma once

#include <windows.h>

#include <string>

namespace tolvane::drive {

// An environment variable of this process; empty when unset or too long.
std::wstring Environment(const wchar_t* name);
// An environment variable holding a Unix or Windows path, as a Windows path.
std::wstring EnvironmentPath(const wchar_t* name);
// The setup executable under test (TOLVANE_SETUP_EXE, a Unix or Windows path).
std::wstring SetupExe();
// The folder for screenshots (TOLVANE_SHOT_DIR), created when missing.
std::wstring ShotDir();
// UTF-8 for test messages, and back.
std::string Narrow(const std::wstring& text);
std::wstring FromUtf8(const std::string& text);

// A plain visible top-level window of the test program, away from the screen's centre.
class OtherProgramWindow {
 public:
  OtherProgramWindow();
  ~OtherProgramWindow();
  OtherProgramWindow(const OtherProgramWindow&) = delete;
  OtherProgramWindow& operator=(const OtherProgramWindow&) = delete;

  HWND Window() const { return window_; }
  // Brings it to the foreground and waits until the system reports it there.
  bool Activate();

 private:
  HWND window_ = nullptr;
};

}  // namespace tolvane::drive
