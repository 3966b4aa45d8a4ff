// All-or-nothing extraction on the small package this program carries (quavserver.exe,
// database\, database\main.db, database\backup\, database\backup\old.db): an upgrade over an
// older installation fails, or the process ends, at each file call in turn; an install
// over it is cancelled before each entry. Afterwards the folder is the old installation
// byte for byte, attributes included (or the new one, where the run got past its end).
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <set>
#include <thread>

#include "engine/error_texts.h"
#include "engine/file_calls.h"
#include "engine/install_run.h"
#include "engine/worker.h"
#include "package/manifest.h"
#include "state/installed_product.h"
#include "tests/engine/file_faults.h"
#include "tests/engine/message_recorder.h"
#include "tests/engine/system_state.h"
#include "tests/engine/worker_hooks.h"
#include "tests/support/msgbox.h"
#include "tests/support/test_files.h"

namespace {

using namespace tolvane::test;

constexpr DWORD kTimeoutMs = 60000;
using Tree = FolderTree;

std::vector<uint8_t> Bytes(const char* text) { return std::vector<uint8_t>(text, text + strlen(text)); }

// A folder that cannot be created shows its box from the worker: closed as a user would,
// for as long as this lives.
class BoxCloser {
 public:
  BoxCloser()
      : thread_([this] {
          while (!stop_) {
            for (HWND box : FindMessageBoxes({L"安装向导", GetCurrentProcessId()})) PressMessageBoxButton(box, IDOK);
            Sleep(10);
          }
        }) {}
  ~BoxCloser() {
    stop_ = true;
    thread_.join();
  }

 private:
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

class InstallRunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    RemoveInstallTraces();
    folder_ = dir_.path() + L"QUAV_SRV\\";
    InstalledProductRecord& record = InstalledProduct();
    record = InstalledProductRecord();
    record.InstallPath = folder_;
    record.EnteredUserName = L"王五";
  }
  void TearDown() override {
    SetFileFault(FileFault::None);
    tolvane::SetStopPointHook(nullptr, nullptr);
    RemoveTree(folder_);
    RemoveInstallTraces();
  }

  // An older installation: a read-only hidden server, a database the package replaces,
  // a log the server wrote itself and no backup folder yet.
  void MakeOldInstallation() {
    RemoveTree(folder_);
    ASSERT_TRUE(CreateDirectoryW(folder_.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((folder_ + L"database").c_str(), nullptr));
    ASSERT_TRUE(WriteFileBytes(folder_ + L"quavserver.exe", Bytes("server 1.0.6")));
    ASSERT_TRUE(
        SetFileAttributesW((folder_ + L"quavserver.exe").c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN));
    ASSERT_TRUE(WriteFileBytes(folder_ + L"database\\main.db", Bytes("old database")));
    ASSERT_TRUE(WriteFileBytes(folder_ + L"database\\server.log", Bytes("written by the server")));
    old_ = Take();
  }

  Tree Take() { return ReadTree(folder_); }

  // Runs the upgrade worker to its end; the messages it sent. `onDone` runs while the
  // worker waits for its WM_SETUP_DONE to be handled.
  std::vector<RecordedMessage> Upgrade(const std::function<void()>& onDone = {}) {
    MessageRecorder page;
    page.onMessage = [&](UINT message) {
      if (message == WM_SETUP_DONE && onDone) onDone();
    };
    HANDLE thread = StartUpgradeWorker(page.window(), page.progress());
    EXPECT_TRUE(page.WaitForWorker(thread, kTimeoutMs));
    return page.Messages();
  }

  // A clean upgrade over the old installation: how many file calls it makes.
  size_t CountCalls() {
    MakeOldInstallation();
    SetFileFault(FileFault::None);
    EXPECT_TRUE(EndedWith(Upgrade(), WM_SETUP_DONE));
    return FileCallCount();
  }

  // The upgrade over a fresh old installation with `fault` at file call `at`, then the
  // next start of setup.
  std::vector<RecordedMessage> UpgradeWithFault(FileFault fault, size_t at, const std::function<void()>& onDone = {}) {
    MakeOldInstallation();
    SetFileFault(fault, at);
    const auto messages = Upgrade(onDone);
    SetFileFault(FileFault::None);
    tolvane::RecoverUnfinishedRun();
    return messages;
  }

  static bool EndedWith(const std::vector<RecordedMessage>& messages, UINT message) {
    return !messages.empty() && messages.back().message == message;
  }

  // Nothing of the run's own is left: no journal, no registry value (and, where the tree
  // is compared, nothing moved aside).
  void ExpectNoTrace() {
    EXPECT_FALSE(PathExists(folder_ + tolvane::kJournalName));
    EXPECT_FALSE(ReadRegistryValue(HKEY_LOCAL_MACHINE, kProductKey, tolvane::kJournalValue).present);
  }

  TempFolder dir_;
  std::wstring folder_;
  Tree old_;
  BoxCloser boxes_;
};

TEST_F(InstallRunTest, UpgradeThatFailsAtAnyFileCallLeavesTheOldInstallation) {
  const size_t calls = CountCalls();
  const Tree upgraded = Take();
  ExpectNoTrace();
  ASSERT_NE(upgraded, old_);
  EXPECT_EQ(upgraded.at(L"database\\server.log"), old_.at(L"database\\server.log"));
  EXPECT_EQ(upgraded.at(L"quavserver.exe").attributes, 0u);

  for (size_t at = 1; at <= calls; ++at) {
    SCOPED_TRACE("failing file call " + std::to_string(at));
    // (What one failed call kept from being put back waits for the next start.) A run
    // that finished still has its journal when the end is shown: its place is recorded.
    bool placeRecorded = false;
    const auto messages = UpgradeWithFault(FileFault::FailOne, at, [&] {
      placeRecorded = ReadRegistryValue(HKEY_LOCAL_MACHINE, kProductKey, tolvane::kJournalValue).present;
    });
    if (EndedWith(messages, WM_SETUP_DONE)) {
      EXPECT_TRUE(placeRecorded) << "a journal the next start could not find";
      // Only the removal of what was moved aside comes after the end is certain.
      Tree now = Take();
      const std::wstring suffix = tolvane::kAsideSuffix;
      for (auto it = now.begin(); it != now.end();) {
        const std::wstring& name = it->first;
        const bool aside =
            name.size() > suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
        it = aside ? now.erase(it) : std::next(it);
      }
      EXPECT_EQ(now, upgraded) << DescribeTree(now);
    } else {
      ASSERT_TRUE(EndedWith(messages, WM_SETUP_ERROR));
      EXPECT_EQ(Take(), old_) << DescribeTree(Take());
      ExpectNoTrace();
    }
  }
}

TEST_F(InstallRunTest, ProcessEndingAtAnyFileCallIsMadeWholeAtTheNextStart) {
  const size_t calls = CountCalls();
  const Tree upgraded = Take();

  size_t restored = 0, completed = 0;
  for (size_t at = 1; at <= calls; ++at) {
    SCOPED_TRACE("process ends at file call " + std::to_string(at));
    UpgradeWithFault(FileFault::EndHere, at);
    const Tree now = Take();
    // Before the journal says every file was written, the old installation; after, the new.
    if (now == old_) {
      ++restored;
      EXPECT_EQ(completed, 0u) << "restored after a later end was completed";
    } else {
      EXPECT_EQ(now, upgraded) << DescribeTree(now);
      ++completed;
    }
    ExpectNoTrace();
  }
  EXPECT_GT(restored, 5u);
  EXPECT_GT(completed, 0u);
}

TEST_F(InstallRunTest, MemoryRunningOutAtAnyFileCallLeavesTheOldInstallation) {
  const size_t calls = CountCalls();
  for (size_t at = 1; at <= calls; ++at) {
    SCOPED_TRACE("out of memory at file call " + std::to_string(at));
    const auto messages = UpgradeWithFault(FileFault::OutOfMemory, at);
    if (!EndedWith(messages, WM_SETUP_DONE)) {
      ASSERT_TRUE(EndedWith(messages, WM_SETUP_ERROR));
      EXPECT_EQ(Take(), old_) << DescribeTree(Take());
      ExpectNoTrace();
    }
  }
}

TEST_F(InstallRunTest, OldFilesAreRemovedAfterTheEndIsShown) {
  MakeOldInstallation();
  SetFileFault(FileFault::None);
  MessageRecorder page;
  std::atomic<bool> asideAtDone{false};
  page.onMessage = [&](UINT message) {
    if (message == WM_SETUP_DONE) asideAtDone = PathExists(folder_ + L"database\\main.db" + tolvane::kAsideSuffix);
  };
  HANDLE thread = StartUpgradeWorker(page.window(), page.progress());
  ASSERT_TRUE(page.WaitForWorker(thread, kTimeoutMs));
  ASSERT_TRUE(EndedWith(page.Messages(), WM_SETUP_DONE));
  EXPECT_TRUE(asideAtDone) << "the user waited for the old files to go";
  EXPECT_FALSE(tolvane::ClearingUpFinishedRun());
  for (const auto& [name, item] : Take()) EXPECT_EQ(name.find(tolvane::kAsideSuffix), std::wstring::npos);
  ExpectNoTrace();
}

// What survives a power cut: the journal's place is on the disk before the journal, and
// every file the run wrote before the journal says it finished.
TEST_F(InstallRunTest, EveryWrittenFileIsFlushedBeforeTheRunIsRecordedFinished) {
  MakeOldInstallation();
  SetFileFault(FileFault::None);
  LogFileCalls(true);
  ASSERT_TRUE(EndedWith(Upgrade(), WM_SETUP_DONE));
  const std::vector<FileCall> calls = LoggedFileCalls();
  LogFileCalls(false);
  const std::wstring journal = folder_ + tolvane::kJournalName;
  size_t placeFlushed = calls.size(), journalMade = calls.size(), finished = 0;
  for (size_t i = 0; i < calls.size(); ++i) {
    if (calls[i].call == "FlushKey" && placeFlushed == calls.size()) placeFlushed = i;
    if (calls[i].call == "Open" && calls[i].path == journal && journalMade == calls.size()) journalMade = i;
    if (calls[i].call == "Write" && calls[i].path == journal) finished = i;  // the last: 'D'
  }
  EXPECT_LT(placeFlushed, journalMade);
  std::set<std::wstring> flushed;
  for (size_t i = 0; i < finished; ++i) {
    if (calls[i].call == "Flush") flushed.insert(calls[i].path);
  }
  for (const wchar_t* file : {L"quavserver.exe", L"database\\main.db", L"database\\backup\\old.db"}) {
    EXPECT_TRUE(flushed.count(folder_ + file)) << file;
  }
}

// A slow disk: the written files' flushes spread over more helper threads, and each file
// is flushed once, before the journal says the run finished.
TEST_F(InstallRunTest, SlowFlushesSpreadOverHelpersAndEndBeforeTheRunFinishes) {
  RemoveTree(folder_);
  ASSERT_TRUE(CreateDirectoryW(folder_.c_str(), nullptr));
  std::vector<ManifestEntry> entries;
  for (char16_t c = u'a'; c <= u'x'; ++c) entries.push_back({std::u16string(1, c) + u".dat", TopLevelFile});
  SetFlushDelay(20);
  LogFileCalls(true);
  tolvane::InstallRun run(folder_);
  ASSERT_FALSE(run.Plan(entries));
  ASSERT_FALSE(run.Begin());
  ASSERT_TRUE(run.StartHelpers());
  for (size_t i = 0; i < entries.size(); ++i) {
    ASSERT_FALSE(run.ReadyFor(i));
    const std::wstring path = folder_ + std::wstring(entries[i].Name.begin(), entries[i].Name.end());
    tolvane::UniqueFile file(tolvane::files::Open(path, GENERIC_WRITE, 0, CREATE_NEW, FILE_ATTRIBUTE_NORMAL));
    ASSERT_TRUE(file);
    ASSERT_FALSE(run.Written(std::move(file), path));
  }
  ASSERT_FALSE(run.Finish());
  SetFlushDelay(0);
  const std::vector<FileCall> calls = LoggedFileCalls();
  LogFileCalls(false);
  size_t finished = 0;
  for (size_t i = 0; i < calls.size(); ++i) {
    if (calls[i].call == "Write" && calls[i].path == folder_ + tolvane::kJournalName) finished = i;
  }
  std::multiset<std::wstring> flushed;
  std::set<unsigned long> flushers;
  for (size_t i = 0; i < calls.size(); ++i) {
    if (calls[i].call != "Flush" || calls[i].path == folder_ + tolvane::kJournalName) continue;
    EXPECT_LT(i, finished) << "flushed after the run was recorded finished";
    flushed.insert(calls[i].path);
    if (calls[i].thread != GetCurrentThreadId()) flushers.insert(calls[i].thread);
  }
  for (const ManifestEntry& entry : entries) {
    EXPECT_EQ(flushed.count(folder_ + std::wstring(entry.Name.begin(), entry.Name.end())), 1u);
  }
  EXPECT_GT(flushers.size(), 1u) << "the flushes were left to one helper";
  tolvane::ClearUpFinishedRun();
}

// Moves made ahead of their entries (on the run's helper thread, or while the worker waits
// for content) are undone like the others, and one that fails is reported at the next
// entry that waits for it; a name listed twice is moved once.
TEST_F(InstallRunTest, MovesAheadOfTheirEntriesAreUndoneAndTheirFailureReported) {
  const std::vector<ManifestEntry> entries = {{u"quavserver.exe", TopLevelFile},
                                              {u"database", Folder},
                                              {u"database\\main.db", SubfolderFile},
                                              {u"QUAVSERVER.EXE", TopLevelFile}};
  for (int variant = 0; variant < 4; ++variant) {
    const bool thread = variant >= 2;
    const size_t failing = variant % 2 ? 2 : 0;
    SCOPED_TRACE(std::string(thread ? "helper moves, " : "worker moves, ") +
                 (failing ? "the second move fails" : "no move fails"));
    MakeOldInstallation();
    tolvane::InstallRun run(folder_);
    ASSERT_FALSE(run.Plan(entries));
    ASSERT_FALSE(run.Begin());
    // Counted from here, the file calls are the moves.
    SetFileFault(failing ? FileFault::FailOne : FileFault::None, failing);
    if (thread) {
      ASSERT_TRUE(run.StartHelpers());
    } else {
      size_t moves = 0;
      while (tolvane::InstallRun::MoveOneAhead(&run)) ++moves;
      EXPECT_EQ(moves, failing ? 1u : 2u);
    }
    // (The thread's failure is certain to be seen only where the failed move is needed.)
    const tolvane::Failure failure = run.ReadyFor(thread ? 2 : 0);
    EXPECT_EQ(FileCallCount(), 2u) << "a move after a failed one, or one made twice";
    if (failing) {
      EXPECT_EQ(std::wstring(tolvane::FailureText(failure)), L"建立文件 " + folder_ + L"database\\main.db 出错。");
    } else {
      EXPECT_FALSE(failure);
      EXPECT_FALSE(PathExists(folder_ + L"database\\main.db"));
      EXPECT_TRUE(PathExists(folder_ + L"database\\main.db" + tolvane::kAsideSuffix));
    }
    SetFileFault(FileFault::None);
    run.Undo();
    EXPECT_EQ(Take(), old_) << DescribeTree(Take());
    ExpectNoTrace();
  }
}

constexpr size_t kEntries = 5;

// Sets the page's stop flag just before the chosen entry (kEntries: after the last).
struct CancelAt {
  size_t entry;
  std::atomic<uint8_t>* flag;
  static void Hook(tolvane::StopPoint point, size_t entry, void* data) {
    auto* self = static_cast<CancelAt*>(data);
    if (point == tolvane::StopPoint::AfterLastEntry) entry = kEntries;
    if (point != tolvane::StopPoint::BeforeEntry && point != tolvane::StopPoint::AfterLastEntry) return;
    if (entry == self->entry) *self->flag = 1;
  }
};

TEST_F(InstallRunTest, ReinstallCancelledBeforeAnyEntryLeavesTheOldInstallation) {
  for (size_t entry = 0; entry <= kEntries; ++entry) {
    SCOPED_TRACE("cancelled before entry " + std::to_string(entry));
    MakeOldInstallation();
    MessageRecorder page;
    CancelAt cancel{entry, page.stopFlag()};
    tolvane::SetStopPointHook(&CancelAt::Hook, &cancel);
    HANDLE thread = StartInstallWorker(page.window(), page.progress(), page.stopFlag());
    ASSERT_TRUE(page.WaitForWorker(thread, kTimeoutMs));
    tolvane::SetStopPointHook(nullptr, nullptr);
    for (const RecordedMessage& m : page.Messages()) EXPECT_EQ(m.message, static_cast<UINT>(WM_SETUP_PROGRESS));
    EXPECT_EQ(Take(), old_) << DescribeTree(Take());
    ExpectNoTrace();
  }
}

TEST_F(InstallRunTest, ServerHeldOpenFailsTheUpgradeBeforeAnythingChanges) {
  MakeOldInstallation();
  ASSERT_TRUE(SetFileAttributesW((folder_ + L"quavserver.exe").c_str(), FILE_ATTRIBUTE_NORMAL));
  old_ = Take();
  HANDLE held = CreateFileW((folder_ + L"quavserver.exe").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  SetFileFault(FileFault::None);
  LogFileCalls(true);
  const auto messages = Upgrade();
  CloseHandle(held);
  ASSERT_TRUE(EndedWith(messages, WM_SETUP_ERROR));
  EXPECT_EQ(messages.back().text, L"建立文件 " + folder_ + L"quavserver.exe 出错。");
  EXPECT_EQ(Take(), old_);
  ExpectNoTrace();
  // The run only looked: nothing was written, moved, made or removed.
  const std::set<std::string> looks = {"Open", "Read", "Attributes", "FindFirst", "FindNext", "OpenKey", "ReadString"};
  for (const FileCall& call : LoggedFileCalls()) EXPECT_TRUE(looks.count(call.call)) << call.call;
  LogFileCalls(false);
}

TEST_F(InstallRunTest, StrangersFileAtAnAsidePlaceStopsTheUpgradeUntouched) {
  MakeOldInstallation();
  // Another case than the run would write: the place is still taken.
  ASSERT_TRUE(WriteFileBytes(folder_ + L"database\\MAIN.DB" + tolvane::kAsideSuffix, Bytes("not ours")));
  old_ = Take();
  const auto messages = Upgrade();
  ASSERT_TRUE(EndedWith(messages, WM_SETUP_ERROR));
  EXPECT_EQ(messages.back().text, L"建立文件 " + folder_ + L"database\\main.db" + tolvane::kAsideSuffix + L" 出错。");
  EXPECT_EQ(Take(), old_);
  ExpectNoTrace();
}

TEST(RunJournal, CutShortIsNoDamageButAChangedByteIs) {
  std::string bytes = "TLVRUN01";
  tolvane::AppendRunRecord(bytes, {tolvane::RunStep::MovedAside, L"quavserver.exe"});
  tolvane::AppendRunRecord(bytes, {tolvane::RunStep::NewFolder, L"database\\backup"});
  std::vector<tolvane::RunStep> steps;
  ASSERT_TRUE(tolvane::ParseRunJournal(bytes, steps));
  ASSERT_EQ(steps.size(), 2u);
  EXPECT_EQ(steps[1].name, L"database\\backup");
  for (size_t cut = 0; cut < bytes.size(); ++cut) {
    EXPECT_TRUE(tolvane::ParseRunJournal(bytes.substr(0, cut), steps)) << cut;
  }
  for (size_t at = 0; at < bytes.size(); ++at) {
    std::string damaged = bytes;
    damaged[at] ^= 0x20;
    EXPECT_FALSE(tolvane::ParseRunJournal(damaged, steps) && steps.size() == 2) << at;
  }
  std::string escaping = "TLVRUN01";
  tolvane::AppendRunRecord(escaping, {tolvane::RunStep::NewFile, L"..\\boot.ini"});
  EXPECT_FALSE(tolvane::ParseRunJournal(escaping, steps));
}

TEST_F(InstallRunTest, DamagedJournalIsLeftAloneAndNothingTouched) {
  MakeOldInstallation();
  ASSERT_TRUE(WriteFileBytes(folder_ + L"quavserver.exe" + tolvane::kAsideSuffix, Bytes("server 1.0.5")));
  std::string bytes = "TLVRUN01";
  tolvane::AppendRunRecord(bytes, {tolvane::RunStep::MovedAside, L"quavserver.exe"});
  bytes[12] ^= 1;
  ASSERT_TRUE(WriteTextFile(folder_ + tolvane::kJournalName, bytes));
  SetStringValue(HKEY_LOCAL_MACHINE, kProductKey, tolvane::kJournalValue, (folder_ + tolvane::kJournalName).c_str());
  const Tree before = Take();
  tolvane::RecoverUnfinishedRun();
  EXPECT_EQ(Take(), before);
  EXPECT_TRUE(ReadRegistryValue(HKEY_LOCAL_MACHINE, kProductKey, tolvane::kJournalValue).present);
  // A new run does not go over it either.
  const auto messages = Upgrade();
  ASSERT_TRUE(EndedWith(messages, WM_SETUP_ERROR));
  EXPECT_EQ(Take(), before);
}

}  // namespace
