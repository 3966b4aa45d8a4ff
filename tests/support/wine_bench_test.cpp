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

// Wine's fixed pages lie just above its loader, where a heap the kernel placed at random
// can land (scripts/wine-bench.sh). A Unix program started from here reports the
// personality it inherited: address-space randomisation off, as for every program the
// tests start.
TEST(WineBench, ProgramsStartWithAddressRandomisationOff) {
  const std::wstring name = L"tolvane-personality-" + std::to_wstring(GetCurrentProcessId());
  // Written aside and renamed, so that the file appears whole.
  std::wstring command = L"Z:\\bin\\sh -c \"cd \\\"$WINEPREFIX/drive_c\\\" && cat /proc/self/personality > " + name +
                         L".part && mv " + name + L".part " + name + L"\"";
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};  // Wine hands back no handles for a Unix program
  ASSERT_TRUE(CreateProcessW(L"Z:\\bin\\sh", &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                             &process));
  const std::wstring out = L"C:\\" + name;
  char text[64] = {};
  DWORD read = 0;
  for (DWORD start = GetTickCount(); !read && GetTickCount() - start < 30000; Sleep(25)) {
    HANDLE file = CreateFileW(out.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) continue;
    ReadFile(file, text, sizeof(text) - 1, &read, nullptr);
    CloseHandle(file);
  }
  DeleteFileW(out.c_str());
  ASSERT_GT(read, 0u) << "the shell left no personality in C:\\" << std::string(name.begin(), name.end());
  EXPECT_NE(strtoul(text, nullptr, 16) & 0x0040000ul, 0u) << "ADDR_NO_RANDOMIZE is off: personality " << text;
}

}  // namespace
