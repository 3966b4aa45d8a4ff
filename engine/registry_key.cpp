#include "engine/registry_key.h"

#include <cwchar>

#include "common/registry_string.h"

LONG RegistryKey::Adopt(LONG result, HKEY obtained, REGSAM access) {
  if (result != ERROR_SUCCESS) return result;
  CloseKey();
  handle_ = obtained;
  viewFlags_ = access & KEY_WOW64_RES;
  return ERROR_SUCCESS;
}

LONG RegistryKey::CreateKey(HKEY parent, const wchar_t* subkey, REGSAM access) {
  HKEY key = nullptr;
  LONG rc = RegCreateKeyExW(parent, subkey, 0, nullptr, REG_OPTION_NON_VOLATILE, access, nullptr, &key,
                            nullptr);
  return Adopt(rc, key, access);
}

LONG RegistryKey::OpenKey(HKEY parent, const wchar_t* subkey, REGSAM access) {
  HKEY key = nullptr;
  LONG rc = RegOpenKeyExW(parent, subkey, 0, access, &key);
  return Adopt(rc, key, access);
}

LONG RegistryKey::CloseKey() {
  LONG rc = ERROR_SUCCESS;
  if (handle_) rc = RegCloseKey(handle_);
  handle_ = nullptr;
  viewFlags_ = 0;
  return rc;
}

LONG RegistryKey::WriteStringValue(const wchar_t* name, const wchar_t* text, DWORD type) {
  if (!text) return ERROR_INVALID_DATA;
  if (!handle_) return ERROR_INVALID_HANDLE;
  const DWORD bytes = static_cast<DWORD>((std::wcslen(text) + 1) * sizeof(wchar_t));
  return RegSetValueExW(handle_, name, 0, type, reinterpret_cast<const BYTE*>(text), bytes);
}

LONG RegistryKey::ReadStringValue(const wchar_t* name, wchar_t* buffer, DWORD capacity) {
  if (!buffer || capacity == 0) return ERROR_INVALID_PARAMETER;
  if (!handle_) return ERROR_INVALID_HANDLE;
  return tolvane::ReadRegistryString(handle_, name, buffer, capacity);
}

LONG RegistryKey::DeleteChildKey(const wchar_t* name) {
  if (!handle_) return ERROR_INVALID_HANDLE;
  return RegDeleteKeyW(handle_, name);
}

LONG RegistryKey::DeleteKeyTree(const wchar_t* name) {
  if (!handle_) return ERROR_INVALID_HANDLE;
  RegistryKey child;
  LONG rc = child.OpenKey(handle_, name, kReadWrite | viewFlags_);
  if (rc != ERROR_SUCCESS) return rc;
  for (;;) {
    // Always index 0: each deletion removes the subkey that stood there.
    wchar_t subkey[256];
    DWORD length = 256;
    if (RegEnumKeyExW(child.get(), 0, subkey, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
      child.CloseKey();
      return RegDeleteKeyW(handle_, name);
    }
    rc = child.DeleteKeyTree(subkey);
    if (rc != ERROR_SUCCESS) return rc;
  }
}
