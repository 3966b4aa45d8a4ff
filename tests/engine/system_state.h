// Test helpers that change and restore system-wide state of the Wine prefix: the
// product's registry keys, the all-users shell folders, the installed shortcuts.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace tolvane::test {

constexpr wchar_t kProductKey[] = L"SOFTWARE\\QUAV_SRV";
constexpr wchar_t kGroupName[] = L"Tolvane翻译软件";
constexpr wchar_t kLinkName[] = L"Tolvane翻译服务器.lnk";

// Removes what an install leaves outside its folder: the product key of both roots, the
// program group with its shortcut and the desktop shortcut.
void RemoveInstallTraces();

std::wstring CommonFolder(int csidl);  // with a trailing backslash
std::wstring GroupFolder();            // common programs + group name + "\"
std::wstring GroupShortcut();
std::wstring DesktopShortcut();

struct RegistryString {
  bool present = false;
  DWORD type = 0;
  std::vector<BYTE> bytes;
  std::wstring text() const;
};
RegistryString ReadRegistryValue(HKEY root, const wchar_t* key, const wchar_t* name);
void SetStringValue(HKEY root, const std::wstring& key, const wchar_t* name, const wchar_t* text);

// Points one of the all-users shell folders ("Common Programs", "Common Desktop") at
// another path for as long as it lives.
class ShellFolderRedirect {
 public:
  ShellFolderRedirect(const wchar_t* valueName, const std::wstring& target);
  ~ShellFolderRedirect();
  ShellFolderRedirect(const ShellFolderRedirect&) = delete;
  ShellFolderRedirect& operator=(const ShellFolderRedirect&) = delete;

 private:
  std::wstring name_;
  DWORD type_ = 0;
  std::vector<BYTE> old_;
  bool had_ = false;
};

// Makes HKEY_LOCAL_MACHINE\SOFTWARE\QUAV_SRV impossible to create or open: a registry
// link to a place that cannot exist stands in its way until the owner goes.
class BlockedProductKey {
 public:
  BlockedProductKey();
  ~BlockedProductKey();
  BlockedProductKey(const BlockedProductKey&) = delete;
  BlockedProductKey& operator=(const BlockedProductKey&) = delete;
  bool active() const { return active_; }

 private:
  bool active_ = false;
};

}  // namespace tolvane::test
