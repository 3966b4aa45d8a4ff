// The one way the program reads a registry string: for the installed-product record and
// for the engine's RegistryKey alike.
#pragma once

#include <windows.h>

namespace tolvane {

// Reads a REG_SZ or REG_EXPAND_SZ value (taken as it stands, not expanded) of the open
// `key` into `buffer` of `capacity` units, terminator included. A value of another type,
// of odd byte length or without its terminating zero is ERROR_INVALID_DATA; one too long
// for the buffer is ERROR_MORE_DATA; a value of zero bytes reads as the empty string. On
// success the buffer holds a terminated string; otherwise its content is unspecified.
inline LONG ReadRegistryString(HKEY key, const wchar_t* name, wchar_t* buffer, DWORD capacity) {
  if (!buffer || capacity == 0) return ERROR_INVALID_PARAMETER;
  DWORD type = 0;
  DWORD bytes = capacity * sizeof(wchar_t);
  const LONG rc = RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &bytes);
  if (rc != ERROR_SUCCESS) return rc;
  if (type != REG_SZ && type != REG_EXPAND_SZ) return ERROR_INVALID_DATA;
  if (bytes == 0) {
    buffer[0] = L'\0';
    return ERROR_SUCCESS;
  }
  if (bytes % sizeof(wchar_t) != 0 || buffer[bytes / sizeof(wchar_t) - 1] != L'\0') return ERROR_INVALID_DATA;
  return ERROR_SUCCESS;
}

}  // namespace tolvane
