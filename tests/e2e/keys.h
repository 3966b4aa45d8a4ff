// Real key presses for the end-to-end tests, and Unix commands run from them: xdotool
// and the shell are Unix programs, which Wine starts by fork and exec.
#pragma once

#include <windows.h>

#include <string>

#include "tests/support/wizard_driver.h"

namespace tolvane::drive {

// The Unix name of a Windows path, as Wine maps it; empty when it has none.
std::string UnixPath(const std::wstring& path);

// Runs `script` with /bin/sh and waits for it; its exit status ("0" on success), or
// empty when it did not end within `timeoutMs`.
std::string RunUnixShell(const std::string& script, DWORD timeoutMs = 60000);

// Gives `window` the X input focus and sends it `actions` (xdotool commands such as
// "key Return" or "type 'abc'"), as the keyboard would; a gtest failure if xdotool fails.
void SendKeys(HWND window, const std::string& actions);

// An ASCII text quoted for the shell.
std::string Quoted(const std::wstring& text);

// The control of the wizard that has the keyboard focus now.
HWND FocusOf(const Wizard& wizard);

}  // namespace tolvane::drive
