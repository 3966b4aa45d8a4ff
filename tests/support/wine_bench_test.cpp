// Checks that the Wine bench gives the Windows-side tests the system they are written for.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

namespace {

std::wstring Env(const wchar_t* name) {
  wchar_t buf[512];
  DWORD n = GetEnvironmentVariableW(name, buf, 512);
  return (n > 0 && n < 512) ? std::wstring(buf, n) : std::wstring();
}

TEST(WineBench, ChineseAnsiCodePage) { EXPECT_EQ(GetACP(), 936u); }

TEST(WineBench, DialogFontsReplacedByAChineseFont) {
  HKEY key;
  ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Wine\\Fonts\\Replacements", 0, KEY_READ, &key),
            ERROR_SUCCESS);
  wchar_t value[128] = {};
  DWORD size = sizeof(value), type = 0;
  LONG rc = RegQueryValueExW(key, L"MS Shell Dlg", nullptr, &type, reinterpret_cast<BYTE*>(value), &size);
  RegCloseKey(key);
  ASSERT_EQ(rc, ERROR_SUCCESS);
  EXPECT_EQ(std::wstring(value), L"WenQuanYi Micro Hei");
}

TEST(WineBench, PrefixKindMatchesProgramFilesLayout) {
  // A 32-bit program sees PROCESSOR_ARCHITEW6432 only under WoW64.
  const bool wow64 = !Env(L"PROCESSOR_ARCHITEW6432").empty();
  BOOL isWow = FALSE;
  IsWow64Process(GetCurrentProcess(), &isWow);
  EXPECT_EQ(wow64, isWow != FALSE);
  if (wow64) {
    EXPECT_EQ(Env(L"ProgramFiles(x86)"), L"C:\\Program Files (x86)");
  } else {
    EXPECT_EQ(Env(L"ProgramFiles"), L"C:\\Program Files");
  }
}

}  // namespace
