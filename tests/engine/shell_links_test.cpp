// Special folders and shortcut files, with the system's real ShellLink object: every
// shortcut written is read back through IShellLinkW.
#include "engine/shell_links.h"

#include <objidl.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include "tests/support/test_files.h"

namespace {

using tolvane::test::ReadShortcut;
using tolvane::test::Shortcut;
using tolvane::test::TempFolder;

TEST(SpecialFolder, EndsWithABackslashAndNamesTheShellFolder) {
  std::wstring path;
  ASSERT_TRUE(GetSpecialFolderPath(CSIDL_COMMON_PROGRAMS, path));
  wchar_t expected[MAX_PATH];
  ASSERT_EQ(SHGetFolderPathW(nullptr, CSIDL_COMMON_PROGRAMS, nullptr, 0, expected), S_OK);
  EXPECT_EQ(path, std::wstring(expected) + L"\\");
  ASSERT_TRUE(GetSpecialFolderPath(CSIDL_COMMON_DESKTOPDIRECTORY, path));
  ASSERT_EQ(SHGetFolderPathW(nullptr, CSIDL_COMMON_DESKTOPDIRECTORY, nullptr, 0, expected), S_OK);
  EXPECT_EQ(path, std::wstring(expected) + L"\\");
}

TEST(SpecialFolder, UnknownFolderNumberFailsAndLeavesThePath) {
  std::wstring path = L"unchanged";
  EXPECT_FALSE(GetSpecialFolderPath(0x7f, path));
  EXPECT_EQ(path, L"unchanged");
}

TEST(Shortcut, WritesTargetWorkingFolderAndShowCommand) {
  TempFolder dir;
  const std::wstring target = dir.path() + L"服务器\\quavserver.exe";
  ASSERT_TRUE(CreateShortcut(target.c_str(), L"快捷", dir.path().c_str(), 0, dir.path().c_str(), L"", nullptr, 0,
                             SW_SHOWMAXIMIZED, nullptr));
  Shortcut s;
  ASSERT_TRUE(ReadShortcut(dir.path() + L"快捷.lnk", s));
  EXPECT_EQ(s.target, target);
  EXPECT_EQ(s.workingFolder, dir.path());
  EXPECT_EQ(s.showCommand, SW_SHOWMAXIMIZED);
  EXPECT_EQ(s.description, L"");
  EXPECT_EQ(s.arguments, L"");
  EXPECT_EQ(s.iconPath, L"");
}

TEST(Shortcut, FolderWithoutTrailingBackslashGetsOneAndOnlyOne) {
  TempFolder dir;
  std::wstring bare = dir.path();
  bare.pop_back();
  ASSERT_TRUE(CreateShortcut(L"C:\\a.exe", L"one", bare.c_str(), 0, nullptr, L"", nullptr, 0, SW_SHOWNORMAL, nullptr));
  ASSERT_TRUE(CreateShortcut(L"C:\\a.exe", L"two", dir.path().c_str(), 0, nullptr, L"", nullptr, 0, SW_SHOWNORMAL,
                             nullptr));
  EXPECT_TRUE(tolvane::test::FileExists(dir.path() + L"one.lnk"));
  EXPECT_TRUE(tolvane::test::FileExists(dir.path() + L"two.lnk"));
}

TEST(Shortcut, OptionalPartsAreWrittenOnlyWhenGiven) {
  TempFolder dir;
  ASSERT_TRUE(CreateShortcut(L"C:\\tool.exe", L"full", dir.path().c_str(), 0, L"C:\\work\\", L"说明", L"C:\\icons.dll",
                             4, SW_SHOWMINNOACTIVE, L"--serve 8080"));
  Shortcut s;
  ASSERT_TRUE(ReadShortcut(dir.path() + L"full.lnk", s));
  EXPECT_EQ(s.description, L"说明");
  EXPECT_EQ(s.arguments, L"--serve 8080");
  EXPECT_EQ(s.iconPath, L"C:\\icons.dll");
  EXPECT_EQ(s.iconIndex, 4);
  EXPECT_EQ(s.showCommand, SW_SHOWMINNOACTIVE);
  EXPECT_EQ(s.workingFolder, L"C:\\work\\");
}

TEST(Shortcut, ExistingShortcutIsOverwritten) {
  TempFolder dir;
  ASSERT_TRUE(CreateShortcut(L"C:\\old.exe", L"s", dir.path().c_str(), 0, nullptr, L"", nullptr, 0, 1, nullptr));
  ASSERT_TRUE(CreateShortcut(L"C:\\new.exe", L"s", dir.path().c_str(), 0, nullptr, L"", nullptr, 0, 3, nullptr));
  Shortcut s;
  ASSERT_TRUE(ReadShortcut(dir.path() + L"s.lnk", s));
  EXPECT_EQ(s.target, L"C:\\new.exe");
  EXPECT_EQ(s.showCommand, 3);
}

TEST(Shortcut, SpecialFolderIsUsedWhenNoFolderIsGiven) {
  std::wstring desktop;
  ASSERT_TRUE(GetSpecialFolderPath(CSIDL_COMMON_DESKTOPDIRECTORY, desktop));
  const std::wstring link = desktop + L"TolvaneEngineTest.lnk";
  DeleteFileW(link.c_str());
  ASSERT_TRUE(CreateShortcut(L"C:\\a.exe", L"TolvaneEngineTest", nullptr, CSIDL_COMMON_DESKTOPDIRECTORY, nullptr,
                             L"", nullptr, 0, 1, nullptr));
  EXPECT_TRUE(tolvane::test::FileExists(link));
  DeleteFileW(link.c_str());
}

TEST(Shortcut, FailsWhenTheFileCannotBeSavedOrTheFolderNotResolved) {
  TempFolder dir;
  const std::wstring missing = dir.path() + L"no\\such\\folder\\";
  EXPECT_FALSE(CreateShortcut(L"C:\\a.exe", L"s", missing.c_str(), 0, nullptr, L"", nullptr, 0, 1, nullptr));
  EXPECT_FALSE(CreateShortcut(L"C:\\a.exe", L"s", nullptr, 0x7f, nullptr, L"", nullptr, 0, 1, nullptr));
}

}  // namespace
