// Checking, confirming and creating the folder the server is installed into.
//
// Every message these operations show is a modal box owned by `owner` with the caption
// kMessageCaption. ValidateFolderText and ConfirmInstallFolder run on the UI thread;
// CreateFolderPath may also run on a worker thread (its box is then shown from there).
#pragma once

#include <windows.h>

#include <string>

// Caption of every message box of the wizard.
inline constexpr wchar_t kMessageCaption[] = L"安装向导";

// Cleans the folder text the user entered (surrounding white space removed, a trailing
// backslash added) and hands it to ConfirmInstallFolder. On failure, after the message,
// the keyboard focus goes back to the folder box of `owner`.
bool ValidateFolderText(HWND owner, const std::wstring& text);

// Accepts `folder` (ending with a backslash) as the install folder: an existing folder
// that already holds the server executable needs the user's Yes; a missing folder is
// created. On success the folder is InstalledProduct().InstallPath, in its full form
// ("." and ".." resolved, "/" and repeated separators made single backslashes), so that
// the uninstall finds the same folder; the folder box keeps what the user typed.
bool ConfirmInstallFolder(HWND owner, const std::wstring& folder);

// Creates every missing level of `path` (after its drive prefix), reporting the level
// that could not be created. Full paths of MAX_PATH units or more are refused the same
// way, before anything is created.
bool CreateFolderPath(HWND owner, const std::wstring& path);

// True when `path` names an existing folder.
bool IsExistingFolder(const std::wstring& path);
