// tolvane-drive: runs setup.exe and walks it through a script of user actions given on
// the command line, for shell scripts. Stops at the first step that fails (exit 1) and
// then ends the setup process if it is still running.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "tests/support/screenshot.h"
#include "tests/support/wizard_driver.h"

using namespace tolvane::drive;

namespace {

const char kUsage[] =
    "usage: tolvane-drive [--timeout MS] SETUP.EXE STEP...\n"
    "steps:\n"
    "  page ID            wait until the page made from template ID is active\n"
    "  back | next | finish | cancel\n"
    "                     press a wizard button (fails when it is disabled)\n"
    "  type ID TEXT       set the text of edit control ID on the active page\n"
    "  click ID           click button ID on the active page\n"
    "  choose ID          select radio button ID on the active page (waits until it is checked)\n"
    "  text ID TEXT       check the text of control ID on the active page\n"
    "  enabled ID 0|1     check whether control ID is enabled\n"
    "  buttons B N F      wait until Back, Next, Finish are enabled (1) or not (0)\n"
    "  box TEXT           wait for a message box \"安装向导\" and check its text (* = any)\n"
    "  answer ID          press button ID (1 OK, 2 Cancel, 6 Yes, 7 No) of that box\n"
    "  shot FILE.png      save a screenshot of the display\n"
    "  exit CODE          wait until setup ends and check its exit code\n";

// Console output in UTF-8, whatever the console's code page.
void Say(const std::wstring& text) {
  const int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  std::string bytes(n, '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), bytes.data(), n, nullptr, nullptr);
  std::fwrite(bytes.data(), 1, bytes.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

bool ToInt(const std::wstring& text, long* value) {
  wchar_t* end = nullptr;
  *value = std::wcstol(text.c_str(), &end, 0);
  return !text.empty() && end && *end == L'\0';
}

class Script {
 public:
  Script(SetupProcess& setup, DWORD timeoutMs) : setup_(setup), timeoutMs_(timeoutMs) {}

  // Runs one step starting at args[i]; advances i past its arguments.
  bool Step(const std::vector<std::wstring>& args, size_t& i) {
    const std::wstring& step = args[i++];
    auto need = [&](size_t count) {
      if (i + count <= args.size()) return true;
      Say(L"tolvane-drive: step '" + step + L"' needs " + std::to_wstring(count) + L" argument(s)");
      return false;
    };
    auto number = [&](long* value) {
      if (ToInt(args[i], value)) return ++i, true;
      Say(L"tolvane-drive: '" + args[i] + L"' is not a number");
      return false;
    };
    long id = 0, a = 0, b = 0, c = 0;

    if (step == L"exit") {
      if (!need(1) || !number(&a)) return false;
      DWORD code = 0;
      if (!setup_.WaitForExit(timeoutMs_, &code)) return Fail(L"setup did not end");
      return Check(code == static_cast<DWORD>(a), L"exit code " + std::to_wstring(code));
    }
    if (step == L"shot") {
      if (!need(1)) return false;
      const std::wstring file = WindowsPath(args[i++]);
      PaintNow(setup_.Id());
      if (!SavePng(CaptureSettledScreen(), file)) return Fail(L"could not save " + file);
      Say(L"screenshot " + file);
      return true;
    }
    if (step == L"box" || step == L"answer") {
      if (!need(1)) return false;
      MessageBoxWindow box = MessageBoxWindow::Find(setup_.Id(), kMessageCaption, timeoutMs_);
      if (!box) return Fail(L"no message box");
      if (step == L"box") {
        const std::wstring& expected = args[i++];
        const std::wstring text = box.Text();
        return Check(expected == L"*" || text == expected, L"message: " + text);
      }
      if (!number(&id)) return false;
      return Check(box.Press(static_cast<int>(id), timeoutMs_), L"answered " + std::to_wstring(id));
    }

    if (!wizard_ && !(wizard_ = Wizard::Find(setup_.Id(), timeoutMs_))) return Fail(L"no wizard window");
    if (step == L"page") {
      if (!need(1) || !number(&id)) return false;
      const bool shown = wizard_.WaitForPage(static_cast<int>(id), timeoutMs_);
      return Check(shown, L"page " + std::to_wstring(wizard_.ActiveTemplate()));
    }
    if (step == L"back" || step == L"next" || step == L"finish" || step == L"cancel") {
      const WizardButton button = step == L"back"   ? WizardButton::Back
                                  : step == L"next" ? WizardButton::Next
                                  : step == L"finish" ? WizardButton::Finish
                                                      : WizardButton::Cancel;
      // A button a page has just asked for is enabled a moment later (posted request).
      const bool pressed =
          WaitUntil([&] { return wizard_.IsButtonEnabled(button); }, timeoutMs_) && wizard_.Press(button);
      return Check(pressed, L"pressed " + step);
    }
    if (step == L"buttons") {
      if (!need(3) || !number(&a) || !number(&b) || !number(&c)) return false;
      return Check(wizard_.WaitForButtons(a != 0, b != 0, c != 0, timeoutMs_), L"buttons " + std::to_wstring(a) +
                                                                                   std::to_wstring(b) + std::to_wstring(c));
    }
    if (step == L"type") {
      if (!need(2) || !number(&id)) return false;
      const std::wstring& text = args[i++];
      return Check(wizard_.Type(static_cast<int>(id), text), L"typed into " + std::to_wstring(id));
    }
    if (step == L"click") {
      if (!need(1) || !number(&id)) return false;
      return Check(wizard_.Click(static_cast<int>(id)), L"clicked " + std::to_wstring(id));
    }
    if (step == L"choose") {
      if (!need(1) || !number(&id)) return false;
      return Check(wizard_.Choose(static_cast<int>(id), timeoutMs_), L"chose " + std::to_wstring(id));
    }
    if (step == L"text") {
      if (!need(2) || !number(&id)) return false;
      const std::wstring& expected = args[i++];
      const std::wstring text = wizard_.Text(static_cast<int>(id));
      return Check(text == expected, L"text of " + std::to_wstring(id) + L": " + text);  // text read first
    }
    if (step == L"enabled") {
      if (!need(2) || !number(&id) || !number(&a)) return false;
      return Check(wizard_.IsEnabled(static_cast<int>(id)) == (a != 0), L"enabled " + std::to_wstring(id));
    }
    Say(L"tolvane-drive: unknown step '" + step + L"'");
    return false;
  }

 private:
  bool Check(bool ok, const std::wstring& what) {
    Say((ok ? L"ok    " : L"FAIL  ") + what);
    return ok;
  }
  bool Fail(const std::wstring& what) { return Check(false, what); }

  SetupProcess& setup_;
  DWORD timeoutMs_;
  Wizard wizard_;
};

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::vector<std::wstring> args(argv + 1, argv + argc);
  DWORD timeoutMs = kDefaultTimeoutMs;
  size_t i = 0;
  if (args.size() >= 2 && args[0] == L"--timeout") {
    long value = 0;
    if (!ToInt(args[1], &value) || value <= 0) {
      std::fputs(kUsage, stderr);
      return 2;
    }
    timeoutMs = static_cast<DWORD>(value);
    i = 2;
  }
  if (i >= args.size()) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  SetupProcess setup;
  std::wstring error;
  if (!setup.Start(args[i++], &error)) {
    Say(L"tolvane-drive: " + error);
    return 1;
  }
  Script script(setup, timeoutMs);
  while (i < args.size()) {
    if (!script.Step(args, i)) return 1;  // ~SetupProcess ends a wizard left open
  }
  return 0;
}
