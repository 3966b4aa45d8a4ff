#include "engine/registry_key.h"

#include <cwchar>

#include "engine/file_calls.h"

LONG RegistryKey::Adopt(LONG result, HKEY obtained, REGSAM access) {
  if (result != ERROR_SUCCESS) return result;
  key_.reset(obtained);
  viewFlags_ = access & KEY_WOW64_RES;
  return ERROR_SUCCESS;
}

LONG RegistryKey::CreateKey(HKEY parent, const wchar_t* subkey, REGSAM access) {
  HKEY key = nullptr;
  const LONG result = tolvane::files::CreateKey(parent, subkey, access, &key);
  return Adopt(result, key, access);
}

LONG RegistryKey::OpenKey(HKEY parent, const wchar_t* subkey, REGSAM access) {
  HKEY key = nullptr;
  const LONG result = tolvane::files::OpenKey(parent, subkey, access, &key);
  return Adopt(result, key, access);
}

LONG RegistryKey::CloseKey() {
  viewFlags_ = 0;
  const HKEY key = key_.release();
  return key ? RegCloseKey(key) : ERROR_SUCCESS;
}

LONG RegistryKey::WriteStringValue(const wchar_t* name, const wchar_t* text, DWORD type) {
  if (!text) return ERROR_INVALID_DATA;
  if (!key_) return ERROR_INVALID_HANDLE;
  const DWORD bytes = static_cast<DWORD>((std::wcslen(text) + 1) * sizeof(wchar_t));
  return tolvane::files::SetValue(key_.get(), name, type, text, bytes);
}

LONG RegistryKey::ReadStringValue(const wchar_t* name, wchar_t* buffer, DWORD capacity) {
  if (!buffer || capacity == 0) return ERROR_INVALID_PARAMETER;
  if (!key_) return ERROR_INVALID_HANDLE;
  return tolvane::files::ReadString(key_.get(), name, buffer, capacity);
}

LONG RegistryKey::DeleteChildKey(const wchar_t* name) {
  if (!key_) return ERROR_INVALID_HANDLE;
  return tolvane::files::DeleteKey(key_.get(), name);
}

LONG RegistryKey::DeleteKeyTree(const wchar_t* name) {
  if (!key_) return ERROR_INVALID_HANDLE;
  RegistryKey child;
  LONG rc = child.OpenKey(key_.get(), name, kReadWrite | viewFlags_);
  if (rc != ERROR_SUCCESS) return rc;
  for (;;) {
    // Always index 0: each deletion removes the subkey that stood there.
    wchar_t subkey[256];
    DWORD length = 256;
    if (tolvane::files::EnumKey(child.get(), 0, subkey, &length) != ERROR_SUCCESS) {
      child.CloseKey();
      return tolvane::files::DeleteKey(key_.get(), name);
    }
    rc = child.DeleteKeyTree(subkey);
    if (rc != ERROR_SUCCESS) return rc;
  }
}
