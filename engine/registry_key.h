// RegistryKey: owner of one open registry key. Every operation returns a Win32 error
// code (0 = success) and never throws.
#pragma once

#include <windows.h>

#include "common/win_owners.h"

class RegistryKey {
 public:
  // The access the engine uses for every key it opens or creates.
  static constexpr REGSAM kReadWrite = KEY_READ | KEY_WRITE;  // 0x2001F

  RegistryKey() = default;
  RegistryKey(const RegistryKey&) = delete;
  RegistryKey& operator=(const RegistryKey&) = delete;
  ~RegistryKey() = default;  // the owner closes the key

  // Creates the key (or opens it when it exists). A key already held is closed only
  // once the new one is obtained; on failure it stays.
  LONG CreateKey(HKEY parent, const wchar_t* subkey, REGSAM access);
  // Opens an existing key, with the same rule for a key already held.
  LONG OpenKey(HKEY parent, const wchar_t* subkey, REGSAM access);
  // Closes the key if one is held; 0 when nothing was open.
  LONG CloseKey();

  // Stores `text` with its terminating zero. A null text is ERROR_INVALID_DATA and
  // leaves the registry untouched.
  LONG WriteStringValue(const wchar_t* name, const wchar_t* text, DWORD type);
  // Reads a REG_SZ or REG_EXPAND_SZ value (not expanded) into `buffer` of `capacity`
  // units. A value of another type, of odd byte length or without its terminating zero
  // is ERROR_INVALID_DATA; a value of zero bytes reads as the empty string.
  LONG ReadStringValue(const wchar_t* name, wchar_t* buffer, DWORD capacity);
  // Deletes a direct subkey that has no subkeys of its own.
  LONG DeleteChildKey(const wchar_t* name);
  // Deletes a direct subkey with everything beneath it. Stops at the first key that
  // cannot be deleted and returns its error.
  LONG DeleteKeyTree(const wchar_t* name);

  HKEY get() const { return key_.get(); }
  // Registry-view bits (KEY_WOW64_*) passed on to keys opened below this one.
  REGSAM viewFlags() const { return viewFlags_; }

 private:
  LONG Adopt(LONG result, HKEY obtained, REGSAM access);

  tolvane::UniqueHkey key_;
  REGSAM viewFlags_ = 0;
};
