// Steps and checks that the install end-to-end tests share: starting setup.exe, walking
// it from the welcome page to the install progress page as a user would, screenshots,
// and what a finished install leaves on disk, in the registry and in the shell.
#pragma once

#include <windows.h>

#include <functional>
#include <set>
#include <string>
#include <vector>

#include "tests/support/wizard_driver.h"

namespace tolvane::drive {

inline constexpr wchar_t kMissingFolderText[] = L"请提供正确的安装路径。";
inline constexpr wchar_t kOverwriteQuestion[] = L"覆盖制定文件夹中的同名文件?";
inline constexpr wchar_t kUninstallQuestion[] = L"确认从计算机中卸载Tolvane翻译软件?";
inline constexpr wchar_t kCancelQuestion[] = L"安装未完成，确认取消安装?";
inline constexpr wchar_t kBadPackageText[] = L"不正确的安装文件。";

// The folder the wizard proposes on this system: below the 32-bit Program Files folder.
std::wstring ExpectedDefaultFolder();

// The product the setup program carries, as the build made it (TOLVANE_PRODUCT_DIR):
// the tree's root with a trailing backslash and its entries in package order, folders
// before their contents, with backslashes.
std::wstring ProductRoot();
std::vector<std::wstring> ProductEntries();

// Saves a settled screenshot of the display as <shot dir>\<name>.png.
void Shot(const SetupProcess& setup, const std::wstring& name);

// The message box of the setup process that shows `text`, once it is there.
MessageBoxWindow WaitForBox(const SetupProcess& setup, const std::wstring& text,
                            DWORD timeoutMs = kDefaultTimeoutMs);

// Waits until the page's buttons are enabled, then presses it.
bool PressWhenEnabled(const Wizard& wizard, WizardButton button);

// Thread ids of a process, now.
std::set<DWORD> ThreadsOf(DWORD processId);

// Two files with the same bytes.
bool SameContents(const std::wstring& a, const std::wstring& b);

}  // namespace tolvane::drive

// gtest-asserting steps (void, so that ASSERT works inside them).
namespace tolvane::drive::steps {

// The install-walk helpers read the product they check from TOLVANE_PRODUCT_DIR; this
// points it at the product named by the environment variable `variable`.
void UseProduct(const wchar_t* variable);

// Starts `exe` and waits for its welcome page.
void Start(SetupProcess& setup, Wizard& wizard, const std::wstring& exe);

// From the welcome page to the install progress page, accepting everything: takes
// re-install on the setup-type page when it appears, accepts the licence, enters `name`
// and `company`, keeps the proposed folder and answers its overwrite question with Yes.
// `beforeLastNext`, when given, runs just before Next is pressed on the folder page.
void WalkToInstall(const SetupProcess& setup, const Wizard& wizard, const std::wstring& name,
                   const std::wstring& company, const std::function<void()>& beforeLastNext = nullptr);

// Waits for the install completion page, presses Finish and checks that setup ends with 0.
void FinishInstall(SetupProcess& setup, const Wizard& wizard);

// Every entry of the product below `folder`, each file with the product's contents.
void ExpectProductFiles(const std::wstring& folder);
// The registry record and the shortcuts of an install into `folder`.
void ExpectProductRecord(const std::wstring& folder, const std::wstring& name, const std::wstring& company);

}  // namespace tolvane::drive::steps
