// Real registry keys, environment and windows for the state tests, each owned by an
// object that puts things back as they were (folders and files: tests/support).
#pragma once

#include <windows.h>

#include <optional>
#include <string>

#include "common/win_owners.h"
#include "tests/support/test_files.h"

namespace tolvane::test {

// Folder of this test program, with a trailing backslash.
std::wstring ProgramFolder();
// A stand-in server executable built beside the tests ("server_1_0_7_0", ...).
std::wstring FixtureExecutable(const std::wstring& name);

// HKLM\SOFTWARE\QUAV_SRV as the tests write it; deleted again at the end. `view` may be
// KEY_WOW64_64KEY to write where a 32-bit process does not look by default.
class ProductKey {
 public:
  explicit ProductKey(REGSAM view = 0);
  ~ProductKey();
  ProductKey(const ProductKey&) = delete;
  ProductKey& operator=(const ProductKey&) = delete;

  bool ok() const { return static_cast<bool>(key_); }
  // A REG_SZ (or other string type) value with its terminator.
  bool SetString(const wchar_t* name, const std::wstring& value, DWORD type = REG_SZ);
  // Any type with exactly these bytes.
  bool SetRaw(const wchar_t* name, DWORD type, const void* data, DWORD bytes);

  static bool Exists(REGSAM view = 0);

 private:
  UniqueHkey key_;
  REGSAM view_;
};

// Sets (or, with nullopt, removes) an environment variable of this process; restores it.
class EnvironmentOverride {
 public:
  EnvironmentOverride(const wchar_t* name, const std::optional<std::wstring>& value);
  ~EnvironmentOverride();
  EnvironmentOverride(const EnvironmentOverride&) = delete;
  EnvironmentOverride& operator=(const EnvironmentOverride&) = delete;

 private:
  std::wstring name_;
  std::optional<std::wstring> previous_;
};

// Changes the current directory; restores it.
class CurrentDirectory {
 public:
  explicit CurrentDirectory(const std::wstring& folder);
  ~CurrentDirectory();
  CurrentDirectory(const CurrentDirectory&) = delete;
  CurrentDirectory& operator=(const CurrentDirectory&) = delete;
  bool ok() const { return ok_; }

 private:
  std::wstring previous_;
  bool ok_ = false;
};

// A visible top-level window standing in for the folder page: it owns the message boxes
// and holds the folder box (IDC_FOLDER) and one other edit box.
class OwnerWindow {
 public:
  OwnerWindow();
  ~OwnerWindow();
  OwnerWindow(const OwnerWindow&) = delete;
  OwnerWindow& operator=(const OwnerWindow&) = delete;

  HWND window() const { return window_; }
  HWND folderBox() const { return folderBox_; }
  HWND otherBox() const { return otherBox_; }

 private:
  HWND window_ = nullptr;
  HWND folderBox_ = nullptr;
  HWND otherBox_ = nullptr;
};

// Runs `work` on a new thread while this thread keeps its windows answering (a message
// box owned by one of them needs that). False if the thread did not end in time.
bool RunOnWorkerThread(void (*work)(void*), void* context, DWORD timeoutMs);

}  // namespace tolvane::test
