// The workers on a small package damaged in one way; this program is built once per
// kind of damage, each time with other manifest and payload resources (see
// make_test_packages.cpp for what each one holds).
#include <gtest/gtest.h>

#include "engine/worker.h"
#include "state/installed_product.h"
#include "tests/engine/message_recorder.h"
#include "tests/engine/system_state.h"
#include "tests/support/msgbox.h"
#include "tests/support/test_files.h"

namespace {

using namespace tolvane::test;

constexpr DWORD kTimeoutMs = 60000;
constexpr wchar_t kBadPackage[] = L"不正确的安装文件。";

class DamagedPackage : public ::testing::Test {
 protected:
  void SetUp() override {
    RemoveInstallTraces();
    InstalledProductRecord& record = InstalledProduct();
    record = InstalledProductRecord();
    record.InstallPath = dir_.path();
    record.EnteredUserName = L"李四";
  }
  void TearDown() override { RemoveInstallTraces(); }

  std::vector<RecordedMessage> Install() {
    HANDLE thread = StartInstallWorker(page_.window(), page_.progress(), page_.stopFlag());
    EXPECT_TRUE(page_.WaitForWorker(thread, kTimeoutMs));
    return page_.Messages();
  }
  std::vector<RecordedMessage> Upgrade() {
    HANDLE thread = StartUpgradeWorker(page_.window(), page_.progress());
    EXPECT_TRUE(page_.WaitForWorker(thread, kTimeoutMs));
    return page_.Messages();
  }
  std::vector<RecordedMessage> Uninstall() {
    HANDLE thread = StartUninstallWorker(page_.window(), page_.progress());
    EXPECT_TRUE(page_.WaitForWorker(thread, kTimeoutMs));
    return page_.Messages();
  }

  // The folder holds nothing at all.
  bool NothingWritten() {
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((dir_.path() + L"*").c_str(), &data);
    bool empty = true;
    if (find != INVALID_HANDLE_VALUE) {
      do {
        const std::wstring name = data.cFileName;
        if (name != L"." && name != L"..") empty = false;
      } while (FindNextFileW(find, &data));
      FindClose(find);
    }
    return empty;
  }

  static void ExpectEndsWithError(const std::vector<RecordedMessage>& messages, const std::wstring& text) {
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages.back().message, WM_SETUP_ERROR);
    EXPECT_TRUE(messages.back().hasText);
    EXPECT_EQ(messages.back().text, text);
    for (const RecordedMessage& m : messages) EXPECT_NE(m.message, WM_SETUP_DONE);
    for (size_t i = 0; i + 1 < messages.size(); ++i) EXPECT_EQ(messages[i].message, WM_SETUP_PROGRESS);
  }

  static size_t ProgressCount(const std::vector<RecordedMessage>& messages) {
    size_t n = 0;
    for (const RecordedMessage& m : messages) n += m.message == WM_SETUP_PROGRESS;
    return n;
  }

  TempFolder dir_;
  MessageRecorder page_;
};

#if defined(TOLVANE_VARIANT_odd_payload) || defined(TOLVANE_VARIANT_wrong_key) || \
    defined(TOLVANE_VARIANT_no_payload) || defined(TOLVANE_VARIANT_escaping_name)
// Refused before anything is written.
TEST_F(DamagedPackage, InstallReportsTheBadPackageAndWritesNothing) {
  const auto messages = Install();
  ExpectEndsWithError(messages, kBadPackage);
  EXPECT_EQ(messages.size(), 1u);
  EXPECT_TRUE(NothingWritten());
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kProductKey));
}

TEST_F(DamagedPackage, UpgradeReportsTheBadPackageAfterItsFirstProgress) {
  const auto messages = Upgrade();
  ExpectEndsWithError(messages, kBadPackage);
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[0].progress, 20);
  EXPECT_TRUE(NothingWritten());
}
#endif

#if defined(TOLVANE_VARIANT_escaping_name)
TEST_F(DamagedPackage, NameLeavingTheFolderReachesNoPartOfTheDisk) {
  Install();
  std::wstring parent = dir_.path();
  parent.pop_back();
  parent = parent.substr(0, parent.rfind(L'\\') + 1);
  EXPECT_FALSE(FileExists(parent + L"escaped.txt"));
  EXPECT_FALSE(FileExists(dir_.path() + L"quavserver.exe"));
}
#endif

#if defined(TOLVANE_VARIANT_refused_key_block)
TEST_F(DamagedPackage, InstallWithoutAKeySaysThePackageIsBadAndWritesNothing) {
  const auto messages = Install();
  ExpectEndsWithError(messages, kBadPackage);
  EXPECT_EQ(messages.size(), 1u);
  EXPECT_TRUE(NothingWritten());
}

TEST_F(DamagedPackage, UpgradeWithoutAKeyAsksForAReinstall) {
  const auto messages = Upgrade();
  ExpectEndsWithError(messages, L"无法直接升级，请重新安装软件。");
  EXPECT_EQ(messages.size(), 1u);
  EXPECT_TRUE(NothingWritten());
}
#endif

#if defined(TOLVANE_VARIANT_no_manifest)
TEST_F(DamagedPackage, InstallAndUpgradeReportTheMissingManifest) {
  auto messages = Install();
  ExpectEndsWithError(messages, kBadPackage);
  EXPECT_EQ(messages.size(), 1u);
  messages = Upgrade();
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[1].message, WM_SETUP_ERROR);
  EXPECT_EQ(messages[1].text, kBadPackage);
  EXPECT_TRUE(NothingWritten());
}

TEST_F(DamagedPackage, UninstallGoesOnSilentlyWithoutTheManifest) {
  SetStringValue(HKEY_LOCAL_MACHINE, kProductKey, L"UserName", L"李四");
  const auto messages = Uninstall();
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[0].message, WM_UNINSTALL_PROGRESS);
  EXPECT_FALSE(messages[0].hasText);
  EXPECT_EQ(messages[0].progress, 80);
  EXPECT_EQ(messages[1].message, WM_SETUP_DONE);
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kProductKey));
}
#endif

#if defined(TOLVANE_VARIANT_missing_entry) || defined(TOLVANE_VARIANT_empty_entry) || \
    defined(TOLVANE_VARIANT_lossy_name)
// The install ends at the unreadable entry, and the run is undone: the entries written
// before it are removed again, nothing after it is written. A name that code page 936
// cannot hold is never looked up under a lossy form.
TEST_F(DamagedPackage, UnreadableEntryEndsTheInstallAfterTheEntriesBeforeIt) {
  const auto messages = Install();
  ExpectEndsWithError(messages, kBadPackage);
  EXPECT_EQ(ProgressCount(messages), 3u);
  EXPECT_FALSE(FileExists(dir_.path() + L"quavserver.exe"));
  EXPECT_FALSE(FileExists(dir_.path() + L"project_manager.mod"));
  EXPECT_FALSE(FileExists(dir_.path() + L"database\\main.db"));
  EXPECT_FALSE(FileExists(dir_.path() + L"database\\gone.db"));
  EXPECT_FALSE(FileExists(dir_.path() + L"database\\empty.db"));
  EXPECT_FALSE(FileExists(dir_.path() + L"database\\\u0E01.db"));
  EXPECT_FALSE(FolderExists(dir_.path() + L"database\\backup"));
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kProductKey));
}
#endif

#if defined(TOLVANE_VARIANT_folder_blocked)
TEST_F(DamagedPackage, FolderThatCannotBeCreatedShowsItsBoxThenTheFolderText) {
  MessageBoxResponder answer({L"安装向导", GetCurrentProcessId()}, IDOK);
  const auto messages = Install();
  const auto box = answer.Wait();
  ASSERT_TRUE(box.has_value());
  EXPECT_EQ(box->text, L"建立文件夹 " + dir_.path() + L"project_manager.mod\\plugins 出错。");
  EXPECT_EQ(box->owner, page_.window());
  ExpectEndsWithError(messages, L"建立文件夹出错。");
  EXPECT_EQ(ProgressCount(messages), 2u);
  // The file written before the folder is removed again with the run.
  EXPECT_FALSE(FileExists(dir_.path() + L"project_manager.mod"));
  EXPECT_FALSE(FolderExists(dir_.path() + L"database"));
}
#endif

#if defined(TOLVANE_VARIANT_zero_total)
TEST_F(DamagedPackage, ManifestWithoutATotalInstallsWithoutExtractionProgress) {
  const auto messages = Install();
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[0].message, WM_SETUP_PROGRESS);
  EXPECT_EQ(messages[0].progress, 100);
  EXPECT_EQ(messages[1].message, WM_SETUP_DONE);
  EXPECT_TRUE(FileExists(dir_.path() + L"database\\backup\\old.db"));
}
#endif

}  // namespace
