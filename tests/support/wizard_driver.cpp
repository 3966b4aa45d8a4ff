#include "tests/support/wizard_driver.h"

#include <commctrl.h>
#include <prsht.h>

#include <algorithm>

namespace tolvane::drive {

const wchar_t kPageCaption[] = L"Tolvane翻译服务器安装向导";
const wchar_t kSheetCaption[] = L"Tolvane翻译软件安装向导";
const wchar_t kMessageCaption[] = L"安装向导";

namespace {

constexpr DWORD kPollMs = 25;
constexpr UINT kMessageTimeoutMs = 5000;  // a query to a window that does not answer
constexpr int kBackId = 0x3023, kNextId = 0x3024, kFinishId = 0x3025;

int ButtonId(WizardButton button) {
  switch (button) {
    case WizardButton::Back: return kBackId;
    case WizardButton::Next: return kNextId;
    case WizardButton::Finish: return kFinishId;
    case WizardButton::Cancel: return IDCANCEL;
    case WizardButton::Help: return IDHELP;
  }
  return 0;
}

DWORD ProcessOf(HWND window) {
  DWORD id = 0;
  GetWindowThreadProcessId(window, &id);
  return id;
}

// The first visible top-level dialog of `processId` whose title passes `match`.
HWND FindDialog(DWORD processId, const std::function<bool(const std::wstring&)>& match) {
  for (HWND window : TopLevelWindows(processId)) {
    if (ClassName(window) == L"#32770" && match(WindowText(window))) return window;
  }
  return nullptr;
}

bool Usable(HWND control) { return control && IsWindowVisible(control) && IsWindowEnabled(control); }

}  // namespace

bool WaitUntil(const std::function<bool()>& done, DWORD timeoutMs) {
  const DWORD start = GetTickCount();
  for (;;) {
    if (done()) return true;
    if (GetTickCount() - start >= timeoutMs) return false;  // unsigned: safe across wrap-around
    Sleep(kPollMs);
  }
}

std::wstring WindowsPath(const std::wstring& path) {
  if (path.empty() || path[0] != L'/') return path;
  std::wstring out = L"Z:" + path;
  for (wchar_t& c : out) {
    if (c == L'/') c = L'\\';
  }
  return out;
}

// ---- process -------------------------------------------------------------------------

SetupProcess::~SetupProcess() {
  if (IsRunning()) Terminate();
}

bool SetupProcess::Start(const std::wstring& exe, std::wstring* error) {
  const std::wstring path = WindowsPath(exe);
  std::wstring folder = path;
  const size_t slash = folder.find_last_of(L"\\/");
  folder = slash == std::wstring::npos ? std::wstring() : folder.substr(0, slash);
  std::wstring commandLine = L"\"" + path + L"\"";

  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info = {};
  if (!CreateProcessW(path.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                      folder.empty() ? nullptr : folder.c_str(), &startup, &info)) {
    if (error) *error = L"CreateProcess failed for " + path + L", error " + std::to_wstring(GetLastError());
    return false;
  }
  CloseHandle(info.hThread);
  process_.reset(info.hProcess);
  id_ = info.dwProcessId;
  return true;
}

bool SetupProcess::IsRunning() const {
  return process_ && WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT;
}

bool SetupProcess::WaitForExit(DWORD timeoutMs, DWORD* exitCode) {
  if (!process_ || WaitForSingleObject(process_.get(), timeoutMs) != WAIT_OBJECT_0) return false;
  DWORD code = 0;
  GetExitCodeProcess(process_.get(), &code);
  if (exitCode) *exitCode = code;
  return true;
}

void SetupProcess::Terminate() {
  if (!process_) return;
  TerminateProcess(process_.get(), 255);
  WaitForSingleObject(process_.get(), kMessageTimeoutMs);
}

// ---- windows -------------------------------------------------------------------------

namespace {

struct WindowSearch {
  DWORD processId;
  std::vector<HWND> found;
};

BOOL CALLBACK CollectWindow(HWND window, LPARAM data) {
  auto* search = reinterpret_cast<WindowSearch*>(data);
  if (ProcessOf(window) == search->processId && IsWindowVisible(window)) search->found.push_back(window);
  return TRUE;
}

}  // namespace

std::vector<HWND> TopLevelWindows(DWORD processId) {
  WindowSearch search{processId, {}};
  EnumWindows(&CollectWindow, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

void PaintNow(DWORD processId) {
  for (HWND window : TopLevelWindows(processId)) {
    RedrawWindow(window, nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN);
  }
}

std::wstring ClassName(HWND window) {
  wchar_t name[256] = {};
  const int n = GetClassNameW(window, name, 256);
  return std::wstring(name, n > 0 ? n : 0);
}

std::wstring WindowText(HWND window) {
  if (!window) return std::wstring();
  DWORD_PTR length = 0;
  if (!SendMessageTimeoutW(window, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, kMessageTimeoutMs, &length)) {
    return std::wstring();
  }
  std::wstring text(length + 1, L'\0');
  DWORD_PTR copied = 0;
  if (!SendMessageTimeoutW(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()),
                           SMTO_ABORTIFHUNG, kMessageTimeoutMs, &copied)) {
    return std::wstring();
  }
  text.resize(copied);
  return text;
}

// ---- wizard --------------------------------------------------------------------------

Wizard Wizard::Find(DWORD processId, DWORD timeoutMs) {
  HWND sheet = nullptr;
  WaitUntil(
      [&] {
        sheet = FindDialog(processId, [](const std::wstring& title) {
          return title == kPageCaption || title == kSheetCaption;
        });
        return sheet != nullptr;
      },
      timeoutMs);
  return Wizard(sheet);
}

LRESULT Wizard::Query(UINT message, WPARAM wParam, LPARAM lParam) const {
  DWORD_PTR result = 0;
  if (!SendMessageTimeoutW(sheet_, message, wParam, lParam, SMTO_ABORTIFHUNG, kMessageTimeoutMs, &result)) return 0;
  return static_cast<LRESULT>(result);
}

HWND Wizard::ActivePage() const { return reinterpret_cast<HWND>(Query(PSM_GETCURRENTPAGEHWND, 0, 0)); }

int Wizard::ActiveTemplate() const {
  HWND page = ActivePage();
  if (!page) return 0;
  const LRESULT index = Query(PSM_HWNDTOINDEX, reinterpret_cast<WPARAM>(page), 0);
  return index < 0 ? 0 : TemplateAt(static_cast<int>(index));
}

bool Wizard::WaitForPage(int templateId, DWORD timeoutMs) const {
  return WaitUntil([&] { return ActiveTemplate() == templateId; }, timeoutMs);
}

int Wizard::PageCount() const {
  HWND tabs = reinterpret_cast<HWND>(Query(PSM_GETTABCONTROL, 0, 0));
  DWORD_PTR count = 0;
  if (!tabs || !SendMessageTimeoutW(tabs, TCM_GETITEMCOUNT, 0, 0, SMTO_ABORTIFHUNG, kMessageTimeoutMs, &count)) {
    return 0;
  }
  return static_cast<int>(count);
}

int Wizard::TemplateAt(int index) const {
  return static_cast<int>(Query(PSM_INDEXTOID, static_cast<WPARAM>(index), 0));
}

HWND Wizard::Button(WizardButton button) const { return GetDlgItem(sheet_, ButtonId(button)); }

bool Wizard::IsButtonEnabled(WizardButton button) const { return Usable(Button(button)); }

bool Wizard::IsButtonVisible(WizardButton button) const {
  HWND control = Button(button);
  return control && IsWindowVisible(control);
}

bool Wizard::Press(WizardButton button) const {
  HWND control = Button(button);
  return Usable(control) && PostMessageW(control, BM_CLICK, 0, 0);
}

bool Wizard::WaitForButtons(bool back, bool next, bool finish, DWORD timeoutMs) const {
  return WaitUntil(
      [&] {
        return IsButtonEnabled(WizardButton::Back) == back && IsButtonEnabled(WizardButton::Next) == next &&
               IsButtonEnabled(WizardButton::Finish) == finish;
      },
      timeoutMs);
}

HWND Wizard::Control(int id) const {
  HWND page = ActivePage();
  return page ? GetDlgItem(page, id) : nullptr;
}

std::wstring Wizard::Text(int id) const { return WindowText(Control(id)); }

bool Wizard::IsEnabled(int id) const {
  HWND control = Control(id);
  return control && IsWindowEnabled(control);
}

bool Wizard::IsChecked(int id) const {
  HWND control = Control(id);
  DWORD_PTR state = 0;
  return control &&
         SendMessageTimeoutW(control, BM_GETCHECK, 0, 0, SMTO_ABORTIFHUNG, kMessageTimeoutMs, &state) &&
         state == BST_CHECKED;
}

bool Wizard::Type(int id, const std::wstring& text) const {
  HWND control = Control(id);
  DWORD_PTR result = 0;
  return Usable(control) &&
         SendMessageTimeoutW(control, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()), SMTO_ABORTIFHUNG,
                             kMessageTimeoutMs, &result) &&
         result == TRUE;
}

bool Wizard::Click(int id) const {
  HWND control = Control(id);
  return Usable(control) && PostMessageW(control, BM_CLICK, 0, 0);
}

bool Wizard::Choose(int id, DWORD timeoutMs) const {
  constexpr DWORD kClickWaitMs = 2000;
  const DWORD start = GetTickCount();
  for (;;) {
    if (!Click(id)) return false;
    const DWORD spent = GetTickCount() - start;
    if (spent >= timeoutMs) return IsChecked(id);
    if (WaitUntil([&] { return IsChecked(id); }, std::min(kClickWaitMs, timeoutMs - spent))) return true;
  }
}

// ---- message boxes -------------------------------------------------------------------

MessageBoxWindow MessageBoxWindow::Find(DWORD processId, const std::wstring& caption, DWORD timeoutMs) {
  const auto box = test::WaitForMessageBox({caption, processId, 0}, timeoutMs);
  return MessageBoxWindow(box ? box->window : nullptr);
}

test::MessageBoxInfo MessageBoxWindow::Read() const { return test::ReadMessageBox(window_); }

std::wstring MessageBoxWindow::Text() const { return Read().text; }

std::vector<int> MessageBoxWindow::Buttons() const { return Read().buttons; }

bool MessageBoxWindow::Press(int buttonId, DWORD timeoutMs) const {
  return test::PressMessageBoxButton(window_, buttonId, timeoutMs);
}

}  // namespace tolvane::drive
