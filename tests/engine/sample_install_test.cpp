// The install, upgrade and uninstall workers on the sample package that this test
// program carries as its own resources, with a recorder window standing in for the page.
// The product tree the package was made from is the reference for every file written.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <new>
#include <optional>

#include "common/text_conversion.h"
#include "common/win_owners.h"
#include "engine/install_run.h"
#include "engine/worker.h"
#include "package/manifest.h"
#include "state/installed_product.h"
#include "tests/engine/message_recorder.h"
#include "tests/engine/system_state.h"
#include "tests/engine/worker_hooks.h"
#include "tests/support/test_files.h"

namespace {

using namespace tolvane::test;

constexpr DWORD kWorkerTimeoutMs = 180000;

// The product tree as relative names: folders and files with their contents.
struct ProductTree {
  std::vector<std::wstring> folders;
  std::map<std::wstring, std::vector<uint8_t>> files;
};

void Walk(const std::wstring& root, const std::wstring& relative, ProductTree& tree) {
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW((root + relative + L"*").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    const std::wstring name = data.cFileName;
    if (name == L"." || name == L"..") continue;
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      tree.folders.push_back(relative + name);
      Walk(root, relative + name + L"\\", tree);
    } else {
      ReadFileBytes(root + relative + name, tree.files[relative + name]);
    }
  } while (FindNextFileW(find, &data));
  FindClose(find);
}

const ProductTree& Product() {
  static ProductTree tree = [] {
    ProductTree t;
    Walk(TOLVANE_PRODUCT_TREE, L"", t);
    return t;
  }();
  return tree;
}

PackageManifest SampleManifest() {
  std::vector<uint8_t> bytes;
  ReadFileBytes(TOLVANE_SAMPLE_MANIFEST, bytes);
  ByteInputStream in(bytes.data(), bytes.size());
  PackageManifest m;
  ReadManifest(in, m);
  return m;
}

// The progress values an extraction must post: one per file, from the file sizes.
std::vector<int32_t> ExpectedExtractionProgress(int32_t base, int32_t span) {
  const PackageManifest m = SampleManifest();
  std::vector<int32_t> values;
  uint64_t written = 0;
  for (const ManifestEntry& e : m.Entries) {
    if (e.Kind == Folder) continue;
    written += Product().files.at(ToWide(e.Name)).size();
    values.push_back(base + static_cast<int32_t>(written * span / m.TotalBytes));
  }
  return values;
}

std::vector<int32_t> ProgressValues(const std::vector<RecordedMessage>& messages, UINT message) {
  std::vector<int32_t> values;
  for (const RecordedMessage& m : messages) {
    if (m.message == message) values.push_back(m.progress);
  }
  return values;
}

// The page reads the progress value when a notice arrives, and the worker may have moved
// on by then: the value read for notice i is the one written for some notice j >= i, and
// j never goes back.
void ExpectProgressAsRead(const std::vector<int32_t>& read, const std::vector<int32_t>& written) {
  ASSERT_EQ(read.size(), written.size());
  size_t j = 0;
  for (size_t i = 0; i < read.size(); ++i) {
    j = std::max(j, i);
    while (j < written.size() && written[j] != read[i]) ++j;
    ASSERT_LT(j, written.size()) << "notice " << i << " read " << read[i] << ", never written from there on";
  }
}

size_t Count(const std::vector<RecordedMessage>& messages, UINT message) {
  return std::count_if(messages.begin(), messages.end(),
                       [&](const RecordedMessage& m) { return m.message == message; });
}

void ExpectTreeInstalled(const std::wstring& folder) {
  ASSERT_FALSE(Product().files.empty());
  for (const std::wstring& f : Product().folders) EXPECT_TRUE(FolderExists(folder + f)) << f;
  for (const auto& [name, content] : Product().files) {
    std::vector<uint8_t> installed;
    ASSERT_TRUE(ReadFileBytes(folder + name, installed)) << name;
    EXPECT_TRUE(installed == content) << name << " differs from the product tree";
    EXPECT_TRUE(HasOnlyNormalAttributes(folder + name)) << name;
  }
}

class SampleWorker : public ::testing::Test {
 protected:
  void SetUp() override {
    RemoveInstallTraces();
    InstalledProductRecord& record = InstalledProduct();
    record = InstalledProductRecord();
    record.InstallPath = dir_.path();
    record.EnteredUserName = L"张三";
    record.EnteredUserCompany = L"";
  }
  void TearDown() override {
    tolvane::SetStopPointHook(nullptr, nullptr);
    tolvane::SetProgressHook(nullptr, nullptr);
    RemoveInstallTraces();
  }

  std::vector<RecordedMessage> RunInstallToEnd() {
    HANDLE thread = StartInstallWorker(page_.window(), page_.progress(), page_.stopFlag());
    EXPECT_NE(thread, nullptr);
    EXPECT_TRUE(page_.WaitForWorker(thread, kWorkerTimeoutMs));
    return page_.Messages();
  }

  // The same, with the worker held before each entry until the page has read every notice
  // posted so far, so that each value read is exactly the value written for it.
  std::vector<RecordedMessage> RunInstallInStep() {
    struct Step {
      MessageRecorder* page;
      std::vector<size_t> filesBefore;  // per entry, and one more for the end
    } step{&page_, {}};
    size_t files = 0;
    for (const ManifestEntry& e : SampleManifest().Entries) {
      step.filesBefore.push_back(files);
      files += e.Kind != Folder;
    }
    step.filesBefore.push_back(files);
    tolvane::SetStopPointHook(
        [](tolvane::StopPoint point, size_t entry, void* data) {
          auto* s = static_cast<Step*>(data);
          if (point == tolvane::StopPoint::AfterLastEntry) entry = s->filesBefore.size() - 1;
          if (point == tolvane::StopPoint::BeforeEntry || point == tolvane::StopPoint::AfterLastEntry) {
            s->page->WaitForCount(WM_SETUP_PROGRESS, s->filesBefore[entry], kWorkerTimeoutMs);
          }
        },
        &step);
    HANDLE thread = StartInstallWorker(page_.window(), page_.progress(), page_.stopFlag());
    EXPECT_NE(thread, nullptr);
    EXPECT_TRUE(page_.WaitForWorker(thread, kWorkerTimeoutMs));
    return page_.Messages();
  }

  TempFolder dir_;
  MessageRecorder page_;
};

TEST_F(SampleWorker, ManifestResourceIsTheSampleManifest) {
  const PackageManifest expected = SampleManifest();
  ASSERT_FALSE(expected.Entries.empty());
  WorkerContext context(WorkerKind::Upgrade);
  context.window = page_.window();
  ASSERT_TRUE(ReadManifestResource(context));
  // Read again into the same context: the list is replaced, not extended.
  ASSERT_TRUE(ReadManifestResource(context));
  EXPECT_EQ(context.manifest.Version, expected.Version);
  EXPECT_EQ(context.manifest.TotalBytes, expected.TotalBytes);
  EXPECT_EQ(context.manifest.KeyBlock, expected.KeyBlock);
  ASSERT_EQ(context.manifest.Entries.size(), expected.Entries.size());
  for (size_t i = 0; i < expected.Entries.size(); ++i) {
    EXPECT_EQ(context.manifest.Entries[i].Name, expected.Entries[i].Name);
    EXPECT_EQ(context.manifest.Entries[i].Kind, expected.Entries[i].Kind);
  }
  EXPECT_TRUE(page_.Messages().empty());
}

TEST_F(SampleWorker, InstallWritesTheTreeRecordShortcutsAndEndsWithDone) {
  // A protected file of the same name is replaced by a normal one.
  const std::wstring server = dir_.path() + L"quavserver.exe";
  ASSERT_TRUE(WriteFileBytes(server, {'o', 'l', 'd'}));
  ASSERT_TRUE(
      SetFileAttributesW(server.c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));

  const auto messages = RunInstallInStep();
  ASSERT_FALSE(messages.empty());
  EXPECT_EQ(messages.back().message, WM_SETUP_DONE);
  EXPECT_EQ(messages.back().progress, 100);
  EXPECT_EQ(Count(messages, WM_SETUP_DONE), 1u);
  EXPECT_EQ(Count(messages, WM_SETUP_ERROR), 0u);

  // One notice per file, 20 to 80, exactly as the file sizes give them, then 100.
  std::vector<int32_t> expected = ExpectedExtractionProgress(20, 60);
  ASSERT_FALSE(expected.empty());
  EXPECT_EQ(expected.back(), 80);
  expected.push_back(100);
  const std::vector<int32_t> values = ProgressValues(messages, WM_SETUP_PROGRESS);
  EXPECT_EQ(values, expected);
  EXPECT_TRUE(std::is_sorted(values.begin(), values.end()));
  EXPECT_EQ(messages.size(), values.size() + 1);

  ExpectTreeInstalled(dir_.path());

  const RegistryString name = ReadRegistryValue(HKEY_LOCAL_MACHINE, kProductKey, L"UserName");
  const RegistryString company = ReadRegistryValue(HKEY_LOCAL_MACHINE, kProductKey, L"UserCompany");
  const RegistryString path = ReadRegistryValue(HKEY_LOCAL_MACHINE, kProductKey, L"InstallPath");
  ASSERT_TRUE(name.present && company.present && path.present);
  EXPECT_EQ(name.type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(company.type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(path.type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(name.text(), L"张三");
  EXPECT_EQ(name.bytes.size(), 6u);
  EXPECT_EQ(company.bytes.size(), 2u);
  EXPECT_EQ(path.text(), dir_.path());
  EXPECT_EQ(path.bytes.size(), (dir_.path().size() + 1) * 2);

  Shortcut group, desktop;
  ASSERT_TRUE(ReadShortcut(GroupShortcut(), group));
  ASSERT_TRUE(ReadShortcut(DesktopShortcut(), desktop));
  EXPECT_EQ(group.target, server);
  EXPECT_EQ(group.workingFolder, dir_.path());
  EXPECT_EQ(group.showCommand, SW_SHOWNORMAL);
  EXPECT_EQ(group.description, L"");
  EXPECT_EQ(group.arguments, L"");
  EXPECT_EQ(desktop.target, server);
  EXPECT_EQ(desktop.workingFolder, dir_.path());
  EXPECT_EQ(desktop.showCommand, SW_SHOWMAXIMIZED);
  EXPECT_EQ(InstallWorkerContext.ServerExecutablePath, server);
}

TEST_F(SampleWorker, ExistingProgramGroupIsReusedAndItsShortcutOverwritten) {
  ASSERT_TRUE(CreateDirectoryW(GroupFolder().c_str(), nullptr));
  const std::wstring other = GroupFolder() + L"readme.txt";
  ASSERT_TRUE(WriteFileBytes(other, {'k', 'e', 'e', 'p'}));
  ASSERT_TRUE(WriteFileBytes(GroupShortcut(), {'s', 't', 'a', 'l', 'e'}));
  SetStringValue(HKEY_LOCAL_MACHINE, kProductKey, L"Other", L"left alone");

  const auto messages = RunInstallToEnd();
  ASSERT_FALSE(messages.empty());
  EXPECT_EQ(messages.back().message, WM_SETUP_DONE);
  EXPECT_TRUE(FileExists(other));
  Shortcut group;
  ASSERT_TRUE(ReadShortcut(GroupShortcut(), group));
  EXPECT_EQ(group.target, dir_.path() + L"quavserver.exe");
  EXPECT_EQ(ReadRegistryValue(HKEY_LOCAL_MACHINE, kProductKey, L"Other").text(), L"left alone");
  EXPECT_EQ(ReadRegistryValue(HKEY_LOCAL_MACHINE, kProductKey, L"UserName").text(), L"张三");
}

TEST_F(SampleWorker, EveryStopPointIsPassedInOrder) {
  struct Seen {
    std::vector<std::pair<tolvane::StopPoint, size_t>> points;
  } seen;
  tolvane::SetStopPointHook(
      [](tolvane::StopPoint p, size_t entry, void* data) {
        static_cast<Seen*>(data)->points.emplace_back(p, entry);
      },
      &seen);
  const auto messages = RunInstallToEnd();
  ASSERT_FALSE(messages.empty());
  EXPECT_EQ(messages.back().message, WM_SETUP_DONE);
  const size_t entries = SampleManifest().Entries.size();
  ASSERT_EQ(seen.points.size(), entries + 4);
  EXPECT_EQ(seen.points[0].first, tolvane::StopPoint::ManifestRead);
  EXPECT_EQ(seen.points[1].first, tolvane::StopPoint::KeyObtained);
  EXPECT_EQ(seen.points[2].first, tolvane::StopPoint::PayloadDeciphered);
  for (size_t i = 0; i < entries; ++i) {
    EXPECT_EQ(seen.points[3 + i].first, tolvane::StopPoint::BeforeEntry);
    EXPECT_EQ(seen.points[3 + i].second, i);
  }
  EXPECT_EQ(seen.points.back().first, tolvane::StopPoint::AfterLastEntry);
}

// Asks for a stop at one point and checks that nothing follows and nothing is undone.
struct StopCase {
  const char* name;
  tolvane::StopPoint point;
  size_t entry;  // BeforeEntry: index; the others ignore it
};

class StopAtPoint : public SampleWorker, public ::testing::WithParamInterface<StopCase> {};

struct StopRequest {
  StopCase target;
  std::atomic<uint8_t>* flag;
};

TEST_P(StopAtPoint, EndsSilentlyAndTakesBackWhatWasWritten) {
  StopRequest request{GetParam(), page_.stopFlag()};
  tolvane::SetStopPointHook(
      [](tolvane::StopPoint p, size_t entry, void* data) {
        auto* r = static_cast<StopRequest*>(data);
        if (p == r->target.point && (p != tolvane::StopPoint::BeforeEntry || entry == r->target.entry)) {
          *r->flag = 1;
        }
      },
      &request);
  const auto messages = RunInstallToEnd();
  EXPECT_EQ(Count(messages, WM_SETUP_DONE), 0u);
  EXPECT_EQ(Count(messages, WM_SETUP_ERROR), 0u);
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kProductKey));
  EXPECT_FALSE(FileExists(GroupShortcut()));

  const PackageManifest m = SampleManifest();
  size_t written = 0;  // entries handled before the stop
  switch (GetParam().point) {
    case tolvane::StopPoint::ManifestRead:
    case tolvane::StopPoint::KeyObtained:
    case tolvane::StopPoint::PayloadDeciphered:
      written = 0;
      break;
    case tolvane::StopPoint::BeforeEntry:
      written = GetParam().entry;
      break;
    case tolvane::StopPoint::AfterLastEntry:
      written = m.Entries.size();
      break;
  }
  // The folder is as the install found it: empty.
  size_t files = 0;
  for (size_t i = 0; i < m.Entries.size(); ++i) {
    const std::wstring path = dir_.path() + ToWide(m.Entries[i].Name);
    if (i < written && m.Entries[i].Kind != Folder) ++files;
    EXPECT_FALSE(PathExists(path)) << "entry " << i << " stayed after the stop";
  }
  EXPECT_FALSE(PathExists(dir_.path() + tolvane::kJournalName));
  // One progress notice per file written; none after the stop.
  EXPECT_EQ(Count(messages, WM_SETUP_PROGRESS), files);
  if (files > 0) {
    EXPECT_LE(messages.back().progress, 80);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Install, StopAtPoint,
    ::testing::Values(StopCase{"ManifestRead", tolvane::StopPoint::ManifestRead, 0},
                      StopCase{"KeyObtained", tolvane::StopPoint::KeyObtained, 0},
                      StopCase{"PayloadDeciphered", tolvane::StopPoint::PayloadDeciphered, 0},
                      StopCase{"BeforeFirstEntry", tolvane::StopPoint::BeforeEntry, 0},
                      StopCase{"BeforeSecondEntry", tolvane::StopPoint::BeforeEntry, 1},
                      StopCase{"BeforeFirstFolder", tolvane::StopPoint::BeforeEntry, 2},
                      StopCase{"MidWay", tolvane::StopPoint::BeforeEntry, 40},
                      StopCase{"AfterLastEntry", tolvane::StopPoint::AfterLastEntry, 0}),
    [](const ::testing::TestParamInfo<StopCase>& info) { return std::string(info.param.name); });

TEST_F(SampleWorker, StopSetBeforeTheStartEndsAfterTheManifestWithoutAnyMessage) {
  *page_.stopFlag() = 1;
  const auto messages = RunInstallToEnd();
  EXPECT_TRUE(messages.empty());
  EXPECT_FALSE(FileExists(dir_.path() + L"quavserver.exe"));
}

TEST_F(SampleWorker, FileHeldOpenWithoutSharingEndsWithTheCreateText) {
  const PackageManifest m = SampleManifest();
  ASSERT_GE(m.Entries.size(), 2u);
  ASSERT_NE(m.Entries[1].Kind, static_cast<uint32_t>(Folder));
  const std::wstring blocked = dir_.path() + ToWide(m.Entries[1].Name);
  tolvane::UniqueFile holder(
      CreateFileW(blocked.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  ASSERT_NE(holder.get(), INVALID_HANDLE_VALUE);
  const auto messages = RunInstallToEnd();
  holder.reset();
  ASSERT_FALSE(messages.empty());
  EXPECT_EQ(messages.back().message, WM_SETUP_ERROR);
  EXPECT_TRUE(messages.back().hasText);
  EXPECT_EQ(messages.back().text, L"建立文件 " + blocked + L" 出错。");
  EXPECT_EQ(Count(messages, WM_SETUP_DONE), 0u);
  // Found before anything was written.
  EXPECT_EQ(Count(messages, WM_SETUP_PROGRESS), 0u);
  EXPECT_FALSE(FileExists(dir_.path() + ToWide(m.Entries[0].Name)));
}

TEST_F(SampleWorker, ProgramGroupThatCannotBeCreatedEndsTheInstall) {
  // The programs folder resolves to a file, so no folder can be made inside it.
  const std::wstring blocker = dir_.path() + L"not-a-folder";
  ASSERT_TRUE(WriteFileBytes(blocker, {'x'}));
  ShellFolderRedirect redirect(L"Common Programs", blocker);
  const auto messages = RunInstallToEnd();
  ASSERT_FALSE(messages.empty());
  EXPECT_EQ(messages.back().message, WM_SETUP_ERROR);
  EXPECT_EQ(messages.back().text, L"建立程序组出错。");
  EXPECT_EQ(Count(messages, WM_SETUP_DONE), 0u);
  EXPECT_EQ(ProgressValues(messages, WM_SETUP_PROGRESS).back(), 80);
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kProductKey));
  ExpectTreeInstalled(dir_.path());
}

TEST_F(SampleWorker, DesktopShortcutThatCannotBeSavedDoesNotStopTheInstall) {
  const std::wstring blocker = dir_.path() + L"not-a-desktop";
  ASSERT_TRUE(WriteFileBytes(blocker, {'x'}));
  ShellFolderRedirect redirect(L"Common Desktop", blocker);
  const auto messages = RunInstallToEnd();
  ASSERT_FALSE(messages.empty());
  EXPECT_EQ(messages.back().message, WM_SETUP_DONE);
  EXPECT_EQ(Count(messages, WM_SETUP_ERROR), 0u);
  EXPECT_TRUE(FileExists(GroupShortcut()));
  EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, kProductKey));
}

// Where the run's journal lies cannot be recorded: no run begins, and nothing is written.
TEST_F(SampleWorker, ProductKeyThatCannotBeWrittenStopsTheInstallBeforeAnyFile) {
  BlockedProductKey blocked;
  ASSERT_TRUE(blocked.active());
  const auto messages = RunInstallToEnd();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages.back().text, L"建立文件 " + dir_.path() + L"~setup-run.journal 出错。");
  EXPECT_TRUE(ReadTree(dir_.path(), false).empty()) << DescribeTree(ReadTree(dir_.path(), false));
}

// The key becomes unwritable once every file is written: the record's failure ends the install.
TEST_F(SampleWorker, RegistryKeyThatCannotBeWrittenEndsTheInstall) {
  std::optional<BlockedProductKey> blocked;
  tolvane::SetProgressHook(
      [](int32_t value, void* data) {
        if (value == 80) static_cast<std::optional<BlockedProductKey>*>(data)->emplace();
      },
      &blocked);
  const auto messages = RunInstallToEnd();
  tolvane::SetProgressHook(nullptr, nullptr);
  ASSERT_TRUE(blocked && blocked->active());
  ASSERT_FALSE(messages.empty());
  EXPECT_EQ(messages.back().message, WM_SETUP_ERROR);
  EXPECT_EQ(messages.back().text, L"生成注册表项目出错。");
  EXPECT_EQ(Count(messages, WM_SETUP_DONE), 0u);
  EXPECT_TRUE(FileExists(GroupShortcut()));
  EXPECT_NE(ProgressValues(messages, WM_SETUP_PROGRESS).back(), 100);
}

TEST_F(SampleWorker, ProgressPointerAndStopFlagComeFromTheLatestStart) {
  MessageRecorder second;
  HANDLE first = StartInstallWorker(page_.window(), page_.progress(), page_.stopFlag());
  ASSERT_TRUE(page_.WaitForWorker(first, kWorkerTimeoutMs));
  RemoveInstallTraces();
  HANDLE again = StartInstallWorker(second.window(), second.progress(), second.stopFlag());
  const size_t before = page_.Messages().size();
  ASSERT_TRUE(second.WaitForWorker(again, kWorkerTimeoutMs));
  EXPECT_EQ(page_.Messages().size(), before);
  ASSERT_FALSE(second.Messages().empty());
  EXPECT_EQ(second.Messages().back().message, WM_SETUP_DONE);
  EXPECT_EQ(second.progress()->load(), 100);
  EXPECT_EQ(InstallWorkerContext.window, second.window());
  EXPECT_EQ(InstallWorkerContext.stop, second.stopFlag());
}

// --- upgrade -------------------------------------------------------------------------

class SampleUpgrade : public SampleWorker {
 protected:
  std::vector<RecordedMessage> RunUpgradeToEnd() {
    HANDLE thread = StartUpgradeWorker(page_.window(), page_.progress());
    EXPECT_NE(thread, nullptr);
    EXPECT_TRUE(page_.WaitForWorker(thread, kWorkerTimeoutMs));
    return page_.Messages();
  }
};

TEST_F(SampleUpgrade, NewerInstalledServerEndsAtOnceWithoutWriting) {
  InstalledProduct().ServerVersion = static_cast<uint16_t>(SampleManifest().Version + 1);
  const auto messages = RunUpgradeToEnd();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].message, WM_SETUP_DONE);
  EXPECT_EQ(messages[0].progress, 0);
  EXPECT_FALSE(FileExists(dir_.path() + L"quavserver.exe"));
}

TEST_F(SampleUpgrade, EqualVersionRewritesTheTreeFrom20To100) {
  InstalledProduct().ServerVersion = SampleManifest().Version;
  // An installed file changed since, and a file of the product's own, not in the package.
  std::vector<uint8_t> changed = Product().files.at(L"quavserver.exe");
  changed.push_back('!');
  ASSERT_TRUE(WriteFileBytes(dir_.path() + L"quavserver.exe", changed));
  CreateDirectoryW((dir_.path() + L"log").c_str(), nullptr);
  const std::wstring own = dir_.path() + L"log\\server-own.log";
  ASSERT_TRUE(WriteFileBytes(own, {'l', 'o', 'g'}));

  const auto messages = RunUpgradeToEnd();
  ASSERT_FALSE(messages.empty());
  EXPECT_EQ(messages.back().message, WM_SETUP_DONE);
  EXPECT_EQ(Count(messages, WM_SETUP_ERROR), 0u);
  std::vector<int32_t> expected = {20};
  const std::vector<int32_t> extraction = ExpectedExtractionProgress(20, 80);
  expected.insert(expected.end(), extraction.begin(), extraction.end());
  ExpectProgressAsRead(ProgressValues(messages, WM_SETUP_PROGRESS), expected);
  EXPECT_EQ(ProgressValues(messages, WM_SETUP_PROGRESS).back(), 100);
  ExpectTreeInstalled(dir_.path());
  EXPECT_TRUE(FileExists(own));
  // The upgrade touches neither the registry nor the shortcuts.
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kProductKey));
  EXPECT_FALSE(FileExists(GroupShortcut()));
  EXPECT_FALSE(FileExists(DesktopShortcut()));
}

TEST_F(SampleUpgrade, UnknownInstalledVersionProceeds) {
  InstalledProduct().ServerVersion = 0;
  const auto messages = RunUpgradeToEnd();
  ASSERT_FALSE(messages.empty());
  EXPECT_EQ(messages.back().message, WM_SETUP_DONE);
  ExpectTreeInstalled(dir_.path());
}

TEST_F(SampleUpgrade, FileInUseEndsWithTheCreateTextAndNoDone) {
  const std::wstring server = dir_.path() + L"quavserver.exe";
  tolvane::UniqueFile running(CreateFileW(server.c_str(), GENERIC_READ, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  ASSERT_NE(running.get(), INVALID_HANDLE_VALUE);
  const auto messages = RunUpgradeToEnd();
  running.reset();
  ASSERT_FALSE(messages.empty());
  EXPECT_EQ(messages.back().message, WM_SETUP_ERROR);
  EXPECT_EQ(messages.back().text, L"建立文件 " + server + L" 出错。");
  EXPECT_EQ(Count(messages, WM_SETUP_DONE), 0u);
}

// --- uninstall -----------------------------------------------------------------------

TEST_F(SampleWorker, UninstallRemovesTheInstalledTreeAndTheProductKeys) {
  RunInstallToEnd();
  ExpectTreeInstalled(dir_.path());
  SetStringValue(HKEY_CURRENT_USER, std::wstring(kProductKey) + L"\\1.0\\Window\\Size", L"w", L"800");
  SetStringValue(HKEY_CURRENT_USER, std::wstring(kProductKey) + L"\\1.0\\Recent", L"r", L"a");
  MessageRecorder page;
  HANDLE thread = StartUninstallWorker(page.window(), page.progress());
  ASSERT_TRUE(page.WaitForWorker(thread, kWorkerTimeoutMs));
  const auto messages = page.Messages();

  // One notice per manifest entry, 0 to 50, then 80 and the end.
  const int32_t entries = static_cast<int32_t>(SampleManifest().Entries.size());
  std::vector<int32_t> expected;
  for (int32_t n = 1; n <= entries; ++n) expected.push_back(n * 50 / entries);
  expected.push_back(80);
  ASSERT_EQ(messages.size(), expected.size() + 1);
  ExpectProgressAsRead(ProgressValues(messages, WM_UNINSTALL_PROGRESS), expected);
  EXPECT_EQ(messages[messages.size() - 2].progress, 80);
  EXPECT_EQ(messages.back().message, WM_SETUP_DONE);
  for (const RecordedMessage& m : messages) EXPECT_FALSE(m.hasText);

  for (const auto& [name, content] : Product().files) EXPECT_FALSE(FileExists(dir_.path() + name)) << name;
  for (const std::wstring& f : Product().folders) EXPECT_FALSE(FolderExists(dir_.path() + f)) << f;
  EXPECT_FALSE(FolderExists(dir_.path()));
  EXPECT_FALSE(FileExists(GroupShortcut()));
  EXPECT_FALSE(FileExists(DesktopShortcut()));
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kProductKey));
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, std::wstring(kProductKey) + L"\\1.0"));
  EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, kProductKey));
  EXPECT_EQ(UninstallWorkerContext.manifest.Entries.size(), SampleManifest().Entries.size());
}

TEST_F(SampleWorker, UninstallWithoutAnyKeysStillEndsWithDone) {
  HANDLE thread = StartUninstallWorker(page_.window(), page_.progress());
  ASSERT_TRUE(page_.WaitForWorker(thread, kWorkerTimeoutMs));
  const auto messages = page_.Messages();
  ASSERT_FALSE(messages.empty());
  EXPECT_EQ(messages.back().message, WM_SETUP_DONE);
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, kProductKey));
}

TEST_F(SampleWorker, UninstallLeavesAProductKeyThatGainedSubkeys) {
  SetStringValue(HKEY_LOCAL_MACHINE, std::wstring(kProductKey) + L"\\Plugins", L"p", L"1");
  SetStringValue(HKEY_LOCAL_MACHINE, kProductKey, L"UserName", L"张三");
  HANDLE thread = StartUninstallWorker(page_.window(), page_.progress());
  ASSERT_TRUE(page_.WaitForWorker(thread, kWorkerTimeoutMs));
  EXPECT_EQ(page_.Messages().back().message, WM_SETUP_DONE);
  EXPECT_EQ(ReadRegistryValue(HKEY_LOCAL_MACHINE, kProductKey, L"UserName").text(), L"张三");
}

// --- a worker that meets an exception ---------------------------------------------------

namespace faults {

enum class Fault { OutOfMemory, StopThenOutOfMemory };

}  // namespace faults

// The install and the upgrade whose memory runs out end with an error the page shows,
// never in silence. (Any other exception is a fault of the program: it ends it.)
TEST_F(SampleWorker, AnExceptionInTheInstallOrUpgradeIsReportedOnce) {
  using faults::Fault;
  const struct {
    Fault fault;
    const wchar_t* text;  // null: no message at all
  } cases[] = {{Fault::OutOfMemory, L"内存不足，无法完成安装。"},
               {Fault::StopThenOutOfMemory, nullptr}};  // the page is closing a stopped install
  for (const auto& c : cases) {
    MessageRecorder page;
    Fault fault = c.fault;
    // Before the third entry, once some files are written.
    tolvane::SetStopPointHook(
        [](tolvane::StopPoint point, size_t entry, void* data) {
          const Fault f = *static_cast<Fault*>(data);
          if (point != tolvane::StopPoint::BeforeEntry || entry != 2) return;
          if (f == Fault::StopThenOutOfMemory) *InstallWorkerContext.stop = 1;
          throw std::bad_alloc();
        },
        &fault);
    HANDLE thread = StartInstallWorker(page.window(), page.progress(), page.stopFlag());
    ASSERT_TRUE(page.WaitForWorker(thread, kWorkerTimeoutMs));
    tolvane::SetStopPointHook(nullptr, nullptr);
    const auto messages = page.Messages();
    EXPECT_EQ(Count(messages, WM_SETUP_DONE), 0u);
    // The files written before the exception were taken back on its way out.
    EXPECT_FALSE(PathExists(dir_.path() + ToWide(SampleManifest().Entries[0].Name)));
    if (!c.text) {
      EXPECT_EQ(Count(messages, WM_SETUP_ERROR), 0u);
      continue;
    }
    ASSERT_EQ(Count(messages, WM_SETUP_ERROR), 1u);
    EXPECT_EQ(messages.back().message, static_cast<UINT>(WM_SETUP_ERROR));
    EXPECT_EQ(messages.back().text, c.text);
  }

  MessageRecorder page;
  tolvane::SetProgressHook([](int32_t, void*) { throw std::bad_alloc(); }, nullptr);
  HANDLE thread = StartUpgradeWorker(page.window(), page.progress());
  ASSERT_TRUE(page.WaitForWorker(thread, kWorkerTimeoutMs));
  tolvane::SetProgressHook(nullptr, nullptr);
  const auto messages = page.Messages();
  ASSERT_FALSE(messages.empty());
  EXPECT_EQ(messages.back().message, static_cast<UINT>(WM_SETUP_ERROR));
  EXPECT_EQ(messages.back().text, L"内存不足，无法完成安装。");
  EXPECT_EQ(Count(messages, WM_SETUP_DONE), 0u);
}

// The uninstall passes over a step that throws and still removes the rest and ends.
TEST_F(SampleWorker, AnExceptionInTheUninstallSkipsOnlyItsStep) {
  RunInstallToEnd();
  ASSERT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, kProductKey));
  MessageRecorder page;
  // The first removal notice: the file pass is cut short.
  tolvane::SetProgressHook(
      [](int32_t value, void*) {
        if (value < 50) throw std::bad_alloc();
      },
      nullptr);
  HANDLE thread = StartUninstallWorker(page.window(), page.progress());
  ASSERT_TRUE(page.WaitForWorker(thread, kWorkerTimeoutMs));
  tolvane::SetProgressHook(nullptr, nullptr);
  const auto messages = page.Messages();
  ASSERT_FALSE(messages.empty());
  EXPECT_EQ(messages.back().message, static_cast<UINT>(WM_SETUP_DONE));
  EXPECT_EQ(Count(messages, WM_SETUP_DONE), 1u);
  EXPECT_EQ(ProgressValues(messages, WM_UNINSTALL_PROGRESS).back(), 80);
  EXPECT_FALSE(FileExists(GroupShortcut()));
  EXPECT_FALSE(FileExists(DesktopShortcut()));
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kProductKey));
}

}  // namespace
