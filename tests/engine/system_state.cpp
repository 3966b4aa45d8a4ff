#include "tests/engine/system_state.h"

#include <shlobj.h>
#include <shlwapi.h>

#include "common/win_owners.h"
#include "tests/support/test_files.h"

namespace tolvane::test {
namespace {

constexpr wchar_t kUserShellFolders[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";

}  // namespace

std::wstring CommonFolder(int csidl) {
  wchar_t path[MAX_PATH] = {};
  if (FAILED(SHGetFolderPathW(nullptr, csidl, nullptr, 0, path))) return L"";
  return std::wstring(path) + L"\\";
}

std::wstring GroupFolder() { return CommonFolder(CSIDL_COMMON_PROGRAMS) + kGroupName + L"\\"; }
std::wstring GroupShortcut() { return GroupFolder() + kLinkName; }
std::wstring DesktopShortcut() { return CommonFolder(CSIDL_COMMON_DESKTOPDIRECTORY) + kLinkName; }

void RemoveInstallTraces() {
  SHDeleteKeyW(HKEY_LOCAL_MACHINE, kProductKey);
  SHDeleteKeyW(HKEY_CURRENT_USER, kProductKey);
  DeleteFileW(GroupShortcut().c_str());
  DeleteFileW(DesktopShortcut().c_str());
  RemoveTree(GroupFolder());
}

std::wstring RegistryString::text() const {
  if (bytes.size() < 2) return L"";
  return std::wstring(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / 2 - 1);
}

RegistryString ReadRegistryValue(HKEY root, const wchar_t* key, const wchar_t* name) {
  RegistryString out;
  UniqueHkey k;
  if (RegOpenKeyExW(root, key, 0, KEY_READ, k.put()) != ERROR_SUCCESS) return out;
  DWORD size = 0;
  if (RegQueryValueExW(k.get(), name, nullptr, &out.type, nullptr, &size) == ERROR_SUCCESS) {
    out.bytes.resize(size);
    out.present = RegQueryValueExW(k.get(), name, nullptr, &out.type, out.bytes.data(), &size) == ERROR_SUCCESS;
  }
  return out;
}

void SetStringValue(HKEY root, const std::wstring& key, const wchar_t* name, const wchar_t* text) {
  UniqueHkey k;
  if (RegCreateKeyExW(root, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, k.put(), nullptr) != ERROR_SUCCESS) {
    return;
  }
  RegSetValueExW(k.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                 static_cast<DWORD>((wcslen(text) + 1) * sizeof(wchar_t)));
}

ShellFolderRedirect::ShellFolderRedirect(const wchar_t* valueName, const std::wstring& target) : name_(valueName) {
  UniqueHkey k;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kUserShellFolders, 0, KEY_ALL_ACCESS, k.put()) != ERROR_SUCCESS) return;
  DWORD size = 0;
  if (RegQueryValueExW(k.get(), valueName, nullptr, &type_, nullptr, &size) == ERROR_SUCCESS) {
    old_.resize(size);
    had_ = RegQueryValueExW(k.get(), valueName, nullptr, &type_, old_.data(), &size) == ERROR_SUCCESS;
  }
  RegSetValueExW(k.get(), valueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(target.c_str()),
                 static_cast<DWORD>((target.size() + 1) * sizeof(wchar_t)));
}

ShellFolderRedirect::~ShellFolderRedirect() {
  UniqueHkey k;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kUserShellFolders, 0, KEY_ALL_ACCESS, k.put()) != ERROR_SUCCESS) return;
  if (had_) {
    RegSetValueExW(k.get(), name_.c_str(), 0, type_, old_.data(), static_cast<DWORD>(old_.size()));
  } else {
    RegDeleteValueW(k.get(), name_.c_str());
  }
}

BlockedProductKey::BlockedProductKey() {
  SHDeleteKeyW(HKEY_LOCAL_MACHINE, kProductKey);
  UniqueHkey link;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kProductKey, 0, nullptr, REG_OPTION_CREATE_LINK | REG_OPTION_VOLATILE,
                      KEY_ALL_ACCESS, nullptr, link.put(), nullptr) != ERROR_SUCCESS) {
    return;
  }
  const wchar_t target[] = L"\\Registry\\Nowhere\\Tolvane";
  active_ = RegSetValueExW(link.get(), L"SymbolicLinkValue", 0, REG_LINK, reinterpret_cast<const BYTE*>(target),
                           sizeof(target) - sizeof(wchar_t)) == ERROR_SUCCESS;
}

BlockedProductKey::~BlockedProductKey() {
  // A link is removed through a handle to the link itself, which only the native call takes.
  using NtDeleteKeyFn = LONG(WINAPI*)(HANDLE);
  auto deleteKey = reinterpret_cast<NtDeleteKeyFn>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtDeleteKey")));
  UniqueHkey link;
  if (deleteKey && RegOpenKeyExW(HKEY_LOCAL_MACHINE, kProductKey, REG_OPTION_OPEN_LINK, DELETE, link.put()) ==
                       ERROR_SUCCESS) {
    deleteKey(link.get());
  }
}

}  // namespace tolvane::test
