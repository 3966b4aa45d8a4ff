// The uninstall worker and its removal steps, on a small intact package that this program
// carries as its own resources: quavserver.exe, database\ (main.db) and
// database\backup\ (old.db), three files and two folders. The package is first installed
// by the install worker, then removed, with a recorder window standing in for the page.
#include <gtest/gtest.h>

#include <process.h>

#include <algorithm>

#include "common/text_conversion.h"
#include "common/win_owners.h"
#include "engine/file_calls.h"
#include "engine/uninstall.h"
#include "engine/worker.h"
#include "state/installed_product.h"
#include "tests/engine/file_faults.h"
#include "tests/engine/message_recorder.h"
#include "tests/engine/system_state.h"
#include "tests/engine/worker_hooks.h"
#include "tests/support/test_files.h"

namespace {

using namespace tolvane::test;

constexpr DWORD kTimeoutMs = 60000;
const wchar_t* const kListedFiles[] = {L"quavserver.exe", L"database\\main.db", L"database\\backup\\old.db"};
const wchar_t* const kListedFolders[] = {L"database", L"database\\backup"};

std::vector<int32_t> RemovalValues(const std::vector<RecordedMessage>& messages) {
  std::vector<int32_t> values;
  for (const RecordedMessage& m : messages) {
    if (m.message == WM_UNINSTALL_PROGRESS) values.push_back(m.progress);
  }
  return values;
}

// Holds the worker after each progress notice until the page has read it, so that every
// value read is the value written for that notice.
struct InStep {
  MessageRecorder* page;
  size_t posted = 0;
  static void Hook(int32_t, void* data) {
    auto* self = static_cast<InStep*>(data);
    ++self->posted;
    self->page->WaitForCount(WM_UNINSTALL_PROGRESS, self->posted, kTimeoutMs);
  }
};

class Uninstall : public ::testing::Test {
 protected:
  void SetUp() override {
    RemoveInstallTraces();
    folder_ = dir_.path() + L"QUAV_SRV\\";
    ASSERT_TRUE(CreateDirectoryW(folder_.c_str(), nullptr));
    InstalledProductRecord& record = InstalledProduct();
    record = InstalledProductRecord();
    record.InstallPath = folder_;
    record.EnteredUserName = L"王五";
  }
  void TearDown() override {
    tolvane::SetProgressHook(nullptr, nullptr);
    RemoveInstallTraces();
  }

  void InstallSmallPackage() {
    MessageRecorder installPage;
    HANDLE thread = StartInstallWorker(installPage.window(), installPage.progress(), installPage.stopFlag());
    ASSERT_TRUE(installPage.WaitForWorker(thread, kTimeoutMs));
    const auto messages = installPage.Messages();
    ASSERT_FALSE(messages.empty());
    ASSERT_EQ(messages.back().message, WM_SETUP_DONE);
    for (const wchar_t* f : kListedFiles) ASSERT_TRUE(FileExists(folder_ + f)) << f;
    ASSERT_TRUE(FileExists(GroupShortcut()));
    ASSERT_TRUE(FileExists(DesktopShortcut()));
    ASSERT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, kProductKey));
    // Wine's desktop process looks at a new desktop shortcut and may hold it open for a
    // moment; start each case once nobody else has the shortcuts open.
    ASSERT_TRUE(WaitUntilUnshared(DesktopShortcut()));
    ASSERT_TRUE(WaitUntilUnshared(GroupShortcut()));
  }

  static bool WaitUntilUnshared(const std::wstring& path) {
    const DWORD start = GetTickCount();
    for (;;) {
      HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
      if (h != INVALID_HANDLE_VALUE) {
        CloseHandle(h);
        return true;
      }
      if (GetLastError() != ERROR_SHARING_VIOLATION || GetTickCount() - start > kTimeoutMs) return false;
      Sleep(20);
    }
  }

  std::vector<RecordedMessage> RunUninstallInStep() {
    InStep step{&page_};
    tolvane::SetProgressHook(&InStep::Hook, &step);
    HANDLE thread = StartUninstallWorker(page_.window(), page_.progress());
    EXPECT_NE(thread, nullptr);
    EXPECT_TRUE(page_.WaitForWorker(thread, kTimeoutMs));
    tolvane::SetProgressHook(nullptr, nullptr);
    return page_.Messages();
  }

  static void ExpectTensThen80AndDone(const std::vector<RecordedMessage>& messages) {
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages.back().message, WM_SETUP_DONE);
    EXPECT_EQ(RemovalValues(messages), (std::vector<int32_t>{10, 20, 30, 40, 50, 80}));
    EXPECT_EQ(messages.size(), 7u);
    for (const RecordedMessage& m : messages) EXPECT_FALSE(m.hasText);
  }

  void ExpectListedItemsGone() {
    for (const wchar_t* f : kListedFiles) EXPECT_FALSE(FileExists(folder_ + f)) << f;
    for (const wchar_t* f : kListedFolders) EXPECT_FALSE(FolderExists(folder_ + f)) << f;
  }

  TempFolder dir_;
  std::wstring folder_;  // the install folder, one level below dir_
  MessageRecorder page_;
};

TEST_F(Uninstall, RemovesTheTreeShortcutsAndKeysWithProgressInSteps) {
  InstallSmallPackage();
  const std::wstring settings = std::wstring(kProductKey) + L"\\1.0";
  SetStringValue(HKEY_CURRENT_USER, settings + L"\\Window\\Placement", L"x", L"10");
  SetStringValue(HKEY_CURRENT_USER, settings + L"\\Dictionaries", L"main", L"zh-en");

  ExpectTensThen80AndDone(RunUninstallInStep());
  ExpectListedItemsGone();
  EXPECT_FALSE(FolderExists(folder_));
  EXPECT_TRUE(FolderExists(dir_.path()));
  EXPECT_FALSE(FileExists(DesktopShortcut()));
  EXPECT_FALSE(FileExists(GroupShortcut()));
  EXPECT_FALSE(FolderExists(GroupFolder()));
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kProductKey));
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, settings));
  EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, kProductKey));
}

TEST_F(Uninstall, FilesAlreadyMissingStillAdvanceTheProgress) {
  InstallSmallPackage();
  ASSERT_TRUE(DeleteFileW((folder_ + L"quavserver.exe").c_str()));
  ASSERT_TRUE(DeleteFileW((folder_ + L"database\\backup\\old.db").c_str()));
  ExpectTensThen80AndDone(RunUninstallInStep());
  ExpectListedItemsGone();
  EXPECT_FALSE(FolderExists(folder_));
}

TEST_F(Uninstall, ReadOnlyHiddenAndSystemFilesAreRemoved) {
  InstallSmallPackage();
  ASSERT_TRUE(SetFileAttributesW((folder_ + L"quavserver.exe").c_str(), FILE_ATTRIBUTE_READONLY));
  ASSERT_TRUE(SetFileAttributesW((folder_ + L"database\\main.db").c_str(), FILE_ATTRIBUTE_HIDDEN));
  ASSERT_TRUE(SetFileAttributesW((folder_ + L"database\\backup\\old.db").c_str(),
                                 FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));
  ExpectTensThen80AndDone(RunUninstallInStep());
  ExpectListedItemsGone();
  EXPECT_FALSE(FolderExists(folder_));
}

TEST_F(Uninstall, FolderHoldingAFileOfTheProductsOwnStaysWithItsParents) {
  InstallSmallPackage();
  const std::wstring own = folder_ + L"database\\backup\\server.log";
  ASSERT_TRUE(WriteFileBytes(own, {'l', 'o', 'g'}));
  ExpectTensThen80AndDone(RunUninstallInStep());
  for (const wchar_t* f : kListedFiles) EXPECT_FALSE(FileExists(folder_ + f)) << f;
  EXPECT_TRUE(FileExists(own));
  EXPECT_TRUE(FolderExists(folder_ + L"database\\backup"));
  EXPECT_TRUE(FolderExists(folder_ + L"database"));
  EXPECT_TRUE(FolderExists(folder_));
  // The rest of the uninstall is not held up by what stays.
  EXPECT_FALSE(FileExists(GroupShortcut()));
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kProductKey));
}

TEST_F(Uninstall, FolderWhereAFileWasListedIsLeftAlone) {
  InstallSmallPackage();
  // Something replaced the installed server with a folder of its own.
  const std::wstring server = folder_ + L"quavserver.exe";
  ASSERT_TRUE(DeleteFileW(server.c_str()));
  ASSERT_TRUE(CreateDirectoryW(server.c_str(), nullptr));
  ASSERT_TRUE(SetFileAttributesW(server.c_str(), FILE_ATTRIBUTE_HIDDEN));
  ExpectTensThen80AndDone(RunUninstallInStep());
  EXPECT_TRUE(FolderExists(server));
  EXPECT_NE(GetFileAttributesW(server.c_str()) & FILE_ATTRIBUTE_HIDDEN, 0u);
  EXPECT_FALSE(FolderExists(folder_ + L"database"));
  SetFileAttributesW(server.c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST_F(Uninstall, MissingDesktopShortcutStillRemovesTheGroup) {
  InstallSmallPackage();
  ASSERT_TRUE(DeleteFileW(DesktopShortcut().c_str()));
  ExpectTensThen80AndDone(RunUninstallInStep());
  EXPECT_FALSE(FileExists(GroupShortcut()));
  EXPECT_FALSE(FolderExists(GroupFolder()));
}

TEST_F(Uninstall, MissingGroupStillRemovesTheDesktopShortcut) {
  InstallSmallPackage();
  RemoveTree(GroupFolder());
  ASSERT_FALSE(FolderExists(GroupFolder()));
  ExpectTensThen80AndDone(RunUninstallInStep());
  EXPECT_FALSE(FileExists(DesktopShortcut()));
  EXPECT_FALSE(FolderExists(GroupFolder()));
}

TEST_F(Uninstall, GroupHoldingOtherEntriesKeepsThemAndLosesOnlyTheShortcut) {
  InstallSmallPackage();
  const std::wstring other = GroupFolder() + L"手册.txt";
  ASSERT_TRUE(WriteFileBytes(other, {'m'}));
  ExpectTensThen80AndDone(RunUninstallInStep());
  EXPECT_FALSE(FileExists(GroupShortcut()));
  EXPECT_TRUE(FileExists(other));
}

// The names marked for removal at the next restart, in order, and the mark cleared.
std::vector<std::wstring> TakeRestartRemovals() {
  const wchar_t* key = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
  const RegistryString value = ReadRegistryValue(HKEY_LOCAL_MACHINE, key, L"PendingFileRenameOperations");
  std::vector<std::wstring> names;
  if (value.present) {
    const wchar_t* text = reinterpret_cast<const wchar_t*>(value.bytes.data());
    const size_t units = value.bytes.size() / sizeof(wchar_t);
    // Pairs of source and target; an empty target is a removal.
    for (size_t at = 0; at < units && text[at];) {
      const std::wstring source = text + at;
      at += source.size() + 1;
      const std::wstring target = at < units ? text + at : L"";
      at += target.size() + 1;
      if (target.empty()) names.push_back(source.substr(source.find(L':') - 1));
    }
  }
  HKEY k;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key, 0, KEY_SET_VALUE, &k) == ERROR_SUCCESS) {
    RegDeleteValueW(k, L"PendingFileRenameOperations");
    RegCloseKey(k);
  }
  return names;
}

// What is in use is removed at the next restart: files first, then the folders that only
// they kept, the install folder last. A folder with a file of the product's own stays.
TEST_F(Uninstall, FileInUseGoesAtTheNextRestartWithTheFoldersItAloneKeeps) {
  TakeRestartRemovals();
  InstallSmallPackage();
  {
    tolvane::UniqueFile held(CreateFileW((folder_ + L"database\\main.db").c_str(), GENERIC_READ, 0, nullptr,
                                         OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(held);
    ExpectTensThen80AndDone(RunUninstallInStep());
    EXPECT_TRUE(FileExists(folder_ + L"database\\main.db"));
  }
  EXPECT_FALSE(FolderExists(folder_ + L"database\\backup"));
  const std::wstring top = folder_.substr(0, folder_.size() - 1);
  EXPECT_EQ(TakeRestartRemovals(),
            (std::vector<std::wstring>{folder_ + L"database\\main.db", folder_ + L"database", top}));
}

TEST_F(Uninstall, FileInUseBesideAFileOfTheProductsOwnKeepsTheFolders) {
  TakeRestartRemovals();
  InstallSmallPackage();
  ASSERT_TRUE(WriteFileBytes(folder_ + L"database\\backup\\server.log", {'l'}));
  {
    tolvane::UniqueFile held(CreateFileW((folder_ + L"quavserver.exe").c_str(), GENERIC_READ, 0, nullptr,
                                         OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(held);
    ExpectTensThen80AndDone(RunUninstallInStep());
  }
  EXPECT_EQ(TakeRestartRemovals(), std::vector<std::wstring>{folder_ + L"quavserver.exe"});
  EXPECT_TRUE(FileExists(folder_ + L"database\\backup\\server.log"));
}

// A failure at any file or registry call of the uninstall leaves nothing of the product
// unaccounted for: once its record is gone (the wizard then offers no uninstall), every
// listed file and folder is gone, or goes at the next restart.
TEST_F(Uninstall, FailureAtAnyCallLeavesNothingOfTheProductUnaccountedFor) {
  TakeRestartRemovals();
  auto uninstall = [] {
    MessageRecorder page;
    HANDLE thread = StartUninstallWorker(page.window(), page.progress());
    EXPECT_TRUE(page.WaitForWorker(thread, kTimeoutMs));
    return page.Messages();
  };
  InstallSmallPackage();
  SetFileFault(FileFault::None);
  uninstall();
  const size_t calls = FileCallCount();
  ASSERT_FALSE(PathExists(folder_));
  for (size_t at = 1; at <= calls; ++at) {
    SCOPED_TRACE("failing call " + std::to_string(at));
    ASSERT_TRUE(CreateDirectoryW(folder_.c_str(), nullptr));
    InstallSmallPackage();
    SetFileFault(FileFault::FailOne, at);
    const auto messages = uninstall();
    SetFileFault(FileFault::None);
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages.back().message, WM_SETUP_DONE);
    // The next restart, as the system carries it out.
    for (const std::wstring& path : TakeRestartRemovals()) {
      if (!DeleteFileW(path.c_str())) RemoveDirectoryW(path.c_str());
    }
    if (!KeyExists(HKEY_LOCAL_MACHINE, kProductKey)) {
      EXPECT_FALSE(PathExists(folder_)) << DescribeTree(ReadTree(folder_));
    }
    RemoveTree(folder_);
  }
}

// The recorded folder is a drive root: the package's names would be those of files that
// are not the product's. Files and folders stay; shortcuts and keys still go.
TEST_F(Uninstall, DriveRootAsInstallFolderRemovesNoFileButStillTheShortcutsAndKeys) {
  InstallSmallPackage();
  const std::wstring bait = L"C:\\quavserver.exe";
  const std::wstring baitFolder = L"C:\\database\\backup";
  const bool folderExisted = FolderExists(L"C:\\database");
  ASSERT_FALSE(FileExists(bait));
  ASSERT_TRUE(WriteFileBytes(bait, {'m', 'z'}));
  CreateDirectoryW(L"C:\\database", nullptr);
  CreateDirectoryW(baitFolder.c_str(), nullptr);
  InstalledProduct().InstallPath = L"C:\\";

  const auto messages = RunUninstallInStep();
  const bool baitKept = FileExists(bait) && FolderExists(baitFolder);
  DeleteFileW(bait.c_str());
  RemoveDirectoryW(baitFolder.c_str());
  if (!folderExisted) RemoveDirectoryW(L"C:\\database");

  EXPECT_TRUE(baitKept);
  ASSERT_FALSE(messages.empty());
  EXPECT_EQ(RemovalValues(messages), std::vector<int32_t>{80});
  EXPECT_EQ(messages.back().message, WM_SETUP_DONE);
  EXPECT_TRUE(FileExists(folder_ + L"quavserver.exe"));
  EXPECT_FALSE(FileExists(GroupShortcut()));
  EXPECT_FALSE(FileExists(DesktopShortcut()));
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kProductKey));
}

// --- the removal step on manifests made for the test ---------------------------------

struct RemovalCall {
  WorkerContext* context;
  int32_t base, span;
  bool result = false;
  static unsigned __stdcall Run(void* data) {
    auto* call = static_cast<RemovalCall*>(data);
    call->result = RemoveInstalledFiles(*call->context, call->base, call->span);
    return 0;
  }
};

class RemovalStep : public Uninstall {
 protected:
  RemovalStep() : context_(WorkerKind::Uninstall) {}
  void SetUp() override {
    Uninstall::SetUp();
    context_.window = page_.window();
    context_.progress = page_.progress();
  }
  void Add(const std::u16string& name, uint32_t kind) { context_.manifest.Entries.push_back({name, kind}); }

  // Runs the step on a thread of its own, as the worker would, and returns what the page
  // was sent.
  std::vector<RecordedMessage> Remove(int32_t base = 0, int32_t span = 50) {
    RemovalCall call{&context_, base, span};
    HANDLE thread = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, &RemovalCall::Run, &call, 0, nullptr));
    EXPECT_TRUE(page_.WaitForWorker(thread, kTimeoutMs));
    EXPECT_TRUE(call.result);
    return page_.Messages();
  }

  WorkerContext context_;
};

TEST_F(RemovalStep, EmptyManifestTouchesNothingNotEvenTheInstallFolder) {
  const auto messages = Remove();
  EXPECT_TRUE(messages.empty());
  EXPECT_TRUE(FolderExists(folder_));
}

TEST_F(RemovalStep, ProgressIsTruncatedAndCountsEveryEntryFromTheBase) {
  for (const char16_t* name : {u"a.txt", u"b.txt", u"c.txt", u"d.txt"}) {
    Add(name, TopLevelFile);
    ASSERT_TRUE(WriteFileBytes(folder_ + ToWide(name), {'1'}));
  }
  Add(u"e", Folder);
  Add(u"f", Folder);
  InStep step{&page_};
  tolvane::SetProgressHook(&InStep::Hook, &step);
  const auto messages = Remove(5, 30);
  EXPECT_EQ(RemovalValues(messages), (std::vector<int32_t>{10, 15, 20, 25, 30, 35}));
  EXPECT_FALSE(FolderExists(folder_));
}

TEST_F(RemovalStep, NamesThatLeaveTheInstallFolderAreSkippedButCounted) {
  // Bait where the names would lead, next to the install folder.
  const std::wstring outside = dir_.path() + L"outside.txt";
  const std::wstring sibling = dir_.path() + L"sibling";
  ASSERT_TRUE(WriteFileBytes(outside, {'o'}));
  ASSERT_TRUE(CreateDirectoryW(sibling.c_str(), nullptr));
  Add(u"..\\outside.txt", TopLevelFile);
  Add(u"database\\..\\..\\outside.txt", SubfolderFile);
  Add(u"./../outside.txt", SubfolderFile);
  Add(u"..\\sibling", Folder);
  Add(u"ok.txt", TopLevelFile);
  Add(u"database", Folder);
  ASSERT_TRUE(WriteFileBytes(folder_ + L"ok.txt", {'k'}));
  ASSERT_TRUE(CreateDirectoryW((folder_ + L"database").c_str(), nullptr));

  InStep step{&page_};
  tolvane::SetProgressHook(&InStep::Hook, &step);
  const auto messages = Remove();
  EXPECT_EQ(RemovalValues(messages), (std::vector<int32_t>{8, 16, 25, 33, 41, 50}));
  EXPECT_TRUE(FileExists(outside));
  EXPECT_TRUE(FolderExists(sibling));
  EXPECT_FALSE(FileExists(folder_ + L"ok.txt"));
  EXPECT_FALSE(FolderExists(folder_ + L"database"));
  EXPECT_FALSE(FolderExists(folder_));
}

// Recorded folders under which the package's names would not name the product's files.
// Bait lies wherever such a folder could lead: the root of drive C:, and the current
// folder (where relative and drive-relative names resolve).
class UnsafeInstallFolder : public RemovalStep, public ::testing::WithParamInterface<const wchar_t*> {
 protected:
  void SetUp() override {
    RemovalStep::SetUp();
    wchar_t current[MAX_PATH];
    ASSERT_GT(GetCurrentDirectoryW(MAX_PATH, current), 0u);
    previousFolder_ = current;
    ASSERT_TRUE(SetCurrentDirectoryW(dir_.path().c_str()));
    for (const std::wstring& place : Places()) {
      ASSERT_TRUE(WriteFileBytes(place + L"tolvane-bait.txt", {'b'})) << place;
      ASSERT_TRUE(CreateDirectoryW((place + L"tolvane-bait-folder").c_str(), nullptr)) << place;
    }
    Add(u"tolvane-bait.txt", TopLevelFile);
    Add(u"tolvane-bait-folder", Folder);
  }
  void TearDown() override {
    SetCurrentDirectoryW(previousFolder_.c_str());
    for (const std::wstring& place : Places()) {
      DeleteFileW((place + L"tolvane-bait.txt").c_str());
      RemoveDirectoryW((place + L"tolvane-bait-folder").c_str());
    }
    RemoveTree(dir_.path() + L"relative");
    RemovalStep::TearDown();
  }
  // Where bait lies: C:\, the current folder, a relative folder below it, and the names
  // that a recorded folder without its final "\" would give.
  std::vector<std::wstring> Places() {
    CreateDirectoryW((dir_.path() + L"relative").c_str(), nullptr);
    return {L"C:\\", dir_.path(), dir_.path() + L"relative\\", dir_.path() + L"QUAV_SRV-"};
  }
  std::wstring previousFolder_;
};

TEST_P(UnsafeInstallFolder, RemovesNothingAndPostsNothing) {
  std::wstring folder = GetParam();
  if (folder == L"<no final backslash>") folder = dir_.path() + L"QUAV_SRV-";
  InstalledProduct().InstallPath = folder;
  const auto messages = Remove();
  EXPECT_TRUE(messages.empty());
  for (const std::wstring& place : Places()) {
    EXPECT_TRUE(FileExists(place + L"tolvane-bait.txt")) << place;
    EXPECT_TRUE(FolderExists(place + L"tolvane-bait-folder")) << place;
  }
  EXPECT_TRUE(FolderExists(folder_));
}

INSTANTIATE_TEST_SUITE_P(RootLike, UnsafeInstallFolder,
                         ::testing::Values(L"", L"C:", L"C:\\", L"c:\\", L"\\", L"relative\\", L".\\", L"C:relative\\",
                                           L"C:\\.\\", L"C:\\windows\\..\\", L"\\\\?\\C:\\", L"\\\\.\\C:\\",
                                           L"\\\\server\\share\\", L"C:/", L"<no final backslash>"));

// --- the rules on their own ----------------------------------------------------------

TEST(InstallFolderRule, AcceptsFoldersBelowADriveOrShareRoot) {
  for (const wchar_t* folder :
       {L"C:\\QUAV_SRV\\", L"d:\\Program Files (x86)\\QUAV_SRV\\", L"C:\\a\\b\\c\\", L"\\\\server\\share\\QUAV_SRV\\",
        L"C:\\翻译\\服务器\\", L"C:\\name.with.dots\\"}) {
    EXPECT_TRUE(tolvane::IsRemovableInstallFolder(folder)) << folder;
  }
}

TEST(InstallFolderRule, RefusesRootsRelativeAndDevicePaths) {
  for (const wchar_t* folder :
       {L"", L"\\", L"C:", L"C:\\", L"C:\\\\", L"C:relative\\", L"relative\\", L"\\rooted\\", L"C:\\QUAV_SRV",
        L"C:\\.\\", L"C:\\..\\", L"C:\\a\\..\\", L"C:\\a\\.\\b\\", L"C:\\a\\\\b\\", L"C:\\ \\", L"C:\\...\\",
        L"C:/QUAV_SRV/", L"C:\\a/b\\", L"C:\\*\\", L"C:\\a?\\", L"C:\\a:b\\", L"\\\\server\\share\\",
        L"\\\\server\\share", L"\\\\server\\", L"\\\\\\share\\x\\", L"\\\\?\\C:\\x\\", L"\\\\.\\C:\\x\\",
        L"\\\\..\\share\\x\\", L"1:\\x\\"}) {
    EXPECT_FALSE(tolvane::IsRemovableInstallFolder(folder)) << folder;
  }
}

TEST_F(Uninstall, ShellDeleteRemovesAFileAndReportsAMissingOne) {
  const std::wstring file = folder_ + L"快捷方式.lnk";
  ASSERT_TRUE(WriteFileBytes(file, {'L'}));
  EXPECT_TRUE(tolvane::files::ShellDelete(file));
  EXPECT_FALSE(FileExists(file));
  EXPECT_FALSE(tolvane::files::ShellDelete(file));
}

}  // namespace
