#include "tests/e2e/e2e_env.h"

#include "tests/support/wizard_driver.h"

namespace tolvane::drive {

namespace {

void PumpMessages() {
  MSG message;
  while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
}

}  // namespace

std::wstring Environment(const wchar_t* name) {
  wchar_t value[1024];
  const DWORD n = GetEnvironmentVariableW(name, value, 1024);
  return n > 0 && n < 1024 ? std::wstring(value, n) : std::wstring();
}

std::wstring EnvironmentPath(const wchar_t* name) { return WindowsPath(Environment(name)); }

std::wstring SetupExe() { return EnvironmentPath(L"TOLVANE_SETUP_EXE"); }

std::wstring ShotDir() {
  std::wstring dir = EnvironmentPath(L"TOLVANE_SHOT_DIR");
  if (dir.empty()) dir = L".";
  // Create every missing level.
  for (size_t at = dir.find(L'\\', 3); at != std::wstring::npos; at = dir.find(L'\\', at + 1)) {
    CreateDirectoryW(dir.substr(0, at).c_str(), nullptr);
  }
  CreateDirectoryW(dir.c_str(), nullptr);
  return dir;
}

std::string Narrow(const std::wstring& text) {
  const int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  std::string out(n, '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), out.data(), n, nullptr, nullptr);
  return out;
}

std::wstring FromUtf8(const std::string& text) {
  const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(n > 0 ? n : 0, L'\0');
  if (n > 0) MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], n);
  return out;
}

OtherProgramWindow::OtherProgramWindow() {
  static const wchar_t kClass[] = L"TolvaneOtherProgram";
  WNDCLASSW windowClass = {};
  windowClass.lpfnWndProc = DefWindowProcW;
  windowClass.hInstance = GetModuleHandleW(nullptr);
  windowClass.lpszClassName = kClass;
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
  RegisterClassW(&windowClass);  // fails harmlessly when already registered
  window_ = CreateWindowExW(0, kClass, L"another program", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 10, 10, 320, 200,
                            nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
  PumpMessages();
}

OtherProgramWindow::~OtherProgramWindow() {
  if (window_) DestroyWindow(window_);
  PumpMessages();
}

bool OtherProgramWindow::Activate() {
  if (!window_) return false;
  SetForegroundWindow(window_);
  return WaitUntil([&] {
    PumpMessages();
    return GetForegroundWindow() == window_;
  });
}

}  // namespace tolvane::drive
