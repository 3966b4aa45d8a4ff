// Drives a running setup.exe from another process, the way a user would: finds its
// wizard window, reads pages and controls, presses buttons, types, answers message
// boxes. Everything that waits takes a timeout and polls for a condition.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "common/win_owners.h"
#include "tests/support/msgbox.h"

namespace tolvane::drive {

constexpr DWORD kDefaultTimeoutMs = 20000;

// The caption of every page template; in wizard mode the title bar shows it.
extern const wchar_t kPageCaption[];
// The sheet's own caption.
extern const wchar_t kSheetCaption[];
// The caption of every message box of the wizard.
extern const wchar_t kMessageCaption[];

// Polls `done` until it returns true; false when `timeoutMs` passed first.
bool WaitUntil(const std::function<bool()>& done, DWORD timeoutMs = kDefaultTimeoutMs);

// A Unix path ("/work/...") as Wine's drive Z: sees it; other paths are returned as given.
std::wstring WindowsPath(const std::wstring& path);

// A started program; terminated on destruction if it is still running, so that a failed
// test never leaves a wizard behind.
class SetupProcess {
 public:
  SetupProcess() = default;
  ~SetupProcess();
  SetupProcess(const SetupProcess&) = delete;
  SetupProcess& operator=(const SetupProcess&) = delete;

  // Starts `exe` with no arguments, in the folder that holds it.
  bool Start(const std::wstring& exe, std::wstring* error = nullptr);
  DWORD Id() const { return id_; }
  bool IsRunning() const;
  // True when the process ended within the timeout; its exit code goes to *exitCode.
  bool WaitForExit(DWORD timeoutMs, DWORD* exitCode);
  void Terminate();

 private:
  UniqueHandle process_;
  DWORD id_ = 0;
};

// Visible top-level windows of a process.
std::vector<HWND> TopLevelWindows(DWORD processId);
std::wstring ClassName(HWND window);
std::wstring WindowText(HWND window);  // WM_GETTEXT, also for other processes' controls
// Makes every window of a process paint what it has not painted yet (before a screenshot).
void PaintNow(DWORD processId);

enum class WizardButton { Back, Next, Finish, Cancel, Help };

// The wizard sheet of a setup process.
class Wizard {
 public:
  Wizard() = default;
  explicit Wizard(HWND sheet) : sheet_(sheet) {}
  // Waits for the sheet of process `processId` to appear; an empty Wizard on time-out.
  static Wizard Find(DWORD processId, DWORD timeoutMs = kDefaultTimeoutMs);

  explicit operator bool() const { return sheet_ && IsWindow(sheet_); }
  HWND Sheet() const { return sheet_; }
  std::wstring Title() const { return WindowText(sheet_); }

  // Pages: the active one, how many the sheet holds, and their template ids.
  HWND ActivePage() const;
  int ActiveTemplate() const;  // 0 when there is no active page
  bool WaitForPage(int templateId, DWORD timeoutMs = kDefaultTimeoutMs) const;
  int PageCount() const;
  int TemplateAt(int index) const;  // 0 when out of range

  // The sheet's buttons. Press refuses (false) a hidden or disabled button, as a user
  // could not press it either; it posts the click and returns at once.
  HWND Button(WizardButton button) const;
  bool IsButtonEnabled(WizardButton button) const;
  bool IsButtonVisible(WizardButton button) const;
  bool Press(WizardButton button) const;
  // Waits until exactly the given buttons among Back, Next and Finish are usable.
  bool WaitForButtons(bool back, bool next, bool finish, DWORD timeoutMs = kDefaultTimeoutMs) const;

  // Controls of the active page.
  HWND Control(int id) const;
  std::wstring Text(int id) const;
  bool IsEnabled(int id) const;
  bool IsChecked(int id) const;
  // Replaces an edit control's text; the control reports EN_CHANGE as for typing.
  bool Type(int id, const std::wstring& text) const;
  // Clicks a button or radio button of the page (posted); false for a disabled control.
  bool Click(int id) const;
  // Selects a radio button and waits until it is checked. Under Wine and load a posted
  // click has been lost (the licence's Accept stayed unchecked for 20 s); it is then
  // clicked again (a second click on a checked radio changes nothing). False if it never
  // became checked.
  bool Choose(int id, DWORD timeoutMs = kDefaultTimeoutMs) const;

 private:
  LRESULT Query(UINT message, WPARAM wParam, LPARAM lParam) const;
  HWND sheet_ = nullptr;
};

// A message box of the setup process; reading and answering are those of
// tests/support/msgbox.h, found by process and caption.
class MessageBoxWindow {
 public:
  MessageBoxWindow() = default;
  explicit MessageBoxWindow(HWND window) : window_(window) {}
  // Waits for a message box with `caption` shown by process `processId`.
  static MessageBoxWindow Find(DWORD processId, const std::wstring& caption = kMessageCaption,
                               DWORD timeoutMs = kDefaultTimeoutMs);

  explicit operator bool() const { return window_ && IsWindow(window_); }
  HWND Window() const { return window_; }
  test::MessageBoxInfo Read() const;  // caption, text, icon, buttons, default button, owner
  std::wstring Text() const;
  std::vector<int> Buttons() const;  // ids of the push buttons (IDOK, IDYES, ...)
  // Clicks a button and waits until the box is gone; false if it has no such button or
  // stays open.
  bool Press(int buttonId, DWORD timeoutMs = kDefaultTimeoutMs) const;

 private:
  HWND window_ = nullptr;
};

}  // namespace tolvane::drive
