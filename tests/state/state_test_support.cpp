#include "tests/state/state_test_support.h"

#include <winternl.h>

#include <vector>

#include "resources/resource_ids.h"

namespace tolvane::test {
namespace {

constexpr wchar_t kProductKeyPath[] = L"SOFTWARE\\QUAV_SRV";
constexpr wchar_t kOwnerClass[] = L"TolvaneStateTestOwner";
constexpr int kOtherBoxId = 1099;

}  // namespace

std::wstring ProgramFolder() {
  wchar_t path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  const std::wstring program(path, length);
  return program.substr(0, program.find_last_of(L'\\') + 1);
}

std::wstring FixtureExecutable(const std::wstring& name) {
  return ProgramFolder() + L"fixtures\\" + name + L".exe";
}

ProductKey::ProductKey(REGSAM view) : view_(view) {
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kProductKeyPath, 0, nullptr, 0, KEY_ALL_ACCESS | view_, nullptr, &key,
                      nullptr) == ERROR_SUCCESS) {
    key_.reset(key);
  }
}

ProductKey::~ProductKey() {
  if (!key_) return;
  key_.reset();
  RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kProductKeyPath, view_, 0);
}

bool ProductKey::SetString(const wchar_t* name, const std::wstring& value, DWORD type) {
  return SetRaw(name, type, value.c_str(), static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

bool ProductKey::SetRaw(const wchar_t* name, DWORD type, const void* data, DWORD bytes) {
  if (!key_) return false;
  // RegSetValueExW may add a terminator to string data (Wine does); the native call
  // stores exactly the bytes given, which the malformed-value tests need.
  using NtSetValueKeyFn = LONG(WINAPI*)(HANDLE, UNICODE_STRING*, ULONG, ULONG, const void*, ULONG);
  static const auto setValue = reinterpret_cast<NtSetValueKeyFn>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtSetValueKey")));
  if (!setValue) return false;
  std::wstring valueName = name;
  UNICODE_STRING unicodeName;
  unicodeName.Buffer = &valueName[0];
  unicodeName.Length = static_cast<USHORT>(valueName.size() * sizeof(wchar_t));
  unicodeName.MaximumLength = unicodeName.Length;
  return setValue(key_.get(), &unicodeName, 0, type, data, bytes) == 0;
}

bool ProductKey::Exists(REGSAM view) { return KeyExists(HKEY_LOCAL_MACHINE, kProductKeyPath, view); }

EnvironmentOverride::EnvironmentOverride(const wchar_t* name, const std::optional<std::wstring>& value)
    : name_(name) {
  const DWORD needed = GetEnvironmentVariableW(name, nullptr, 0);
  if (needed > 0) {
    std::vector<wchar_t> buffer(needed);
    const DWORD length = GetEnvironmentVariableW(name, buffer.data(), needed);
    if (length < needed) previous_ = std::wstring(buffer.data(), length);
  }
  SetEnvironmentVariableW(name, value ? value->c_str() : nullptr);
}

EnvironmentOverride::~EnvironmentOverride() {
  SetEnvironmentVariableW(name_.c_str(), previous_ ? previous_->c_str() : nullptr);
}

CurrentDirectory::CurrentDirectory(const std::wstring& folder) {
  wchar_t current[MAX_PATH];
  const DWORD length = GetCurrentDirectoryW(MAX_PATH, current);
  if (length == 0 || length >= MAX_PATH) return;
  previous_.assign(current, length);
  ok_ = SetCurrentDirectoryW(folder.c_str()) != FALSE;
}

CurrentDirectory::~CurrentDirectory() {
  if (ok_) SetCurrentDirectoryW(previous_.c_str());
}

OwnerWindow::OwnerWindow() {
  WNDCLASSW windowClass = {};
  windowClass.lpfnWndProc = DefWindowProcW;
  windowClass.hInstance = GetModuleHandleW(nullptr);
  windowClass.lpszClassName = kOwnerClass;
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  RegisterClassW(&windowClass);  // fails harmlessly when already registered
  window_ = CreateWindowExW(0, kOwnerClass, L"folder page", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 40, 40, 400, 160,
                            nullptr, nullptr, windowClass.hInstance, nullptr);
  if (!window_) return;
  folderBox_ = CreateWindowExW(0, L"EDIT", L"", WS_CHILD | WS_VISIBLE | WS_BORDER | WS_TABSTOP, 10, 10, 360, 24,
                               window_, reinterpret_cast<HMENU>(IDC_FOLDER), windowClass.hInstance, nullptr);
  otherBox_ = CreateWindowExW(0, L"EDIT", L"", WS_CHILD | WS_VISIBLE | WS_BORDER | WS_TABSTOP, 10, 50, 360, 24,
                              window_, reinterpret_cast<HMENU>(kOtherBoxId), windowClass.hInstance, nullptr);
  SetForegroundWindow(window_);
}

OwnerWindow::~OwnerWindow() {
  if (window_) DestroyWindow(window_);
}

namespace {

struct WorkerStart {
  void (*work)(void*);
  void* context;
};

DWORD WINAPI WorkerMain(void* parameter) {
  const WorkerStart* start = static_cast<const WorkerStart*>(parameter);
  start->work(start->context);
  return 0;
}

}  // namespace

bool RunOnWorkerThread(void (*work)(void*), void* context, DWORD timeoutMs) {
  WorkerStart start{work, context};
  HANDLE thread = CreateThread(nullptr, 0, WorkerMain, &start, 0, nullptr);
  if (!thread) return false;
  const DWORD begin = GetTickCount();
  bool ended = false;
  while (!ended) {
    const DWORD elapsed = GetTickCount() - begin;
    if (elapsed >= timeoutMs) break;
    const DWORD wait = MsgWaitForMultipleObjects(1, &thread, FALSE, timeoutMs - elapsed, QS_ALLINPUT);
    if (wait == WAIT_OBJECT_0) {
      ended = true;
    } else if (wait == WAIT_OBJECT_0 + 1) {
      MSG msg;
      while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
      }
    } else {
      break;
    }
  }
  if (!ended) {
    // `start` lives on this stack frame: the worker must not outlive it.
    WaitForSingleObject(thread, INFINITE);
  }
  CloseHandle(thread);
  return ended;
}

}  // namespace tolvane::test
