// Ways an install ends other than by itself, in one prefix and in this order: an error
// from a damaged package, the cancel question answered Yes, held open until the worker
// finished, and answered No. The install is held half-way by the gated test build
// (tests/e2e/install_gate.h), so that every answer lands while the worker still runs.
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include "resources/resource_ids.h"
#include "tests/e2e/e2e_env.h"
#include "tests/e2e/gate_events.h"
#include "tests/e2e/install_gate.h"
#include "tests/e2e/install_walk.h"
#include "tests/engine/system_state.h"
#include "tests/support/test_files.h"
#include "tests/support/wizard_driver.h"

namespace tolvane::drive {
namespace {

using namespace steps;

std::wstring DamagedSetupExe() { return EnvironmentPath(L"TOLVANE_DAMAGED_SETUP_EXE"); }

class InstallCancel : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(gate_.Valid()); }
  void TearDown() override { gate_.Open(); }  // never leave a worker waiting

  // Walks to the install, held at the gate on its progress page; remembers the threads
  // the install started.
  void StartHeldInstall(const std::wstring& name) {
    Start(setup_, wizard_, SetupExe());
    WalkToInstall(setup_, wizard_, name, L"", [&] { before_ = ThreadsOf(setup_.Id()); });
    ASSERT_TRUE(gate_.WaitReached()) << "the install did not reach the gate";
    ASSERT_TRUE(wizard_.WaitForPage(IDD_PROGRESS));
    EXPECT_TRUE(wizard_.WaitForButtons(false, false, false));
    EXPECT_TRUE(wizard_.IsButtonEnabled(WizardButton::Cancel));
    for (DWORD thread : ThreadsOf(setup_.Id())) {
      if (!before_.count(thread)) started_.insert(thread);
    }
  }
  int Position() const {
    return static_cast<int>(SendMessageW(wizard_.Control(IDC_PROGRESS), PBM_GETPOS, 0, 0));
  }
  // Presses Cancel and returns the question, after checking how it asks.
  MessageBoxWindow AskToCancel() {
    if (!wizard_.Press(WizardButton::Cancel)) return MessageBoxWindow();
    MessageBoxWindow box = WaitForBox(setup_, kCancelQuestion);
    if (box) {
      const test::MessageBoxInfo info = box.Read();
      EXPECT_EQ(info.icon, test::MessageBoxIcon::Question);
      EXPECT_EQ(info.buttons, (std::vector<int>{IDYES, IDNO, IDCANCEL}));
      EXPECT_EQ(info.defaultButton, IDCANCEL);
    }
    return box;
  }

  TestGate gate_{kGateReached, kGateOpen};
  SetupProcess setup_;
  Wizard wizard_;
  std::set<DWORD> before_, started_;
};

TEST_F(InstallCancel, AnInstallErrorIsShownAndTheWizardCloses) {
  const std::wstring exe = DamagedSetupExe();
  ASSERT_FALSE(exe.empty()) << "TOLVANE_DAMAGED_SETUP_EXE is not set";
  Start(setup_, wizard_, exe);
  WalkToInstall(setup_, wizard_, L"张三", L"");
  MessageBoxWindow box = WaitForBox(setup_, kBadPackageText, 60000);
  ASSERT_TRUE(box) << "no error message";
  const test::MessageBoxInfo info = box.Read();
  EXPECT_EQ(info.caption, L"安装向导");
  EXPECT_EQ(info.icon, test::MessageBoxIcon::Error);
  EXPECT_EQ(info.buttons, std::vector<int>{IDOK});
  Shot(setup_, L"install-error");
  ASSERT_TRUE(box.Press(IDOK));
  DWORD code = 1234;
  ASSERT_TRUE(setup_.WaitForExit(kDefaultTimeoutMs, &code)) << "the wizard stayed open after the error";
  EXPECT_EQ(code, 0u);
  // What was written before the damaged entry was taken back; no product was recorded.
  EXPECT_FALSE(test::FileExists(ExpectedDefaultFolder() + L"quavserver.exe"));
  EXPECT_FALSE(test::KeyExists(HKEY_LOCAL_MACHINE, test::kProductKey));
}

TEST_F(InstallCancel, AnsweredYesStopsTheInstallAndTakesBackTheFilesSoFar) {
  StartHeldInstall(L"张三");
  Shot(setup_, L"progress");
  MessageBoxWindow box = AskToCancel();
  ASSERT_TRUE(box);
  Shot(setup_, L"cancel-question");
  ASSERT_TRUE(box.Press(IDYES));
  gate_.Open();  // the worker, told to stop, now sees the flag
  DWORD code = 1234;
  ASSERT_TRUE(setup_.WaitForExit(kDefaultTimeoutMs, &code)) << "the wizard stayed open";
  EXPECT_EQ(code, 0u);

  const std::vector<std::wstring> entries = ProductEntries();
  ASSERT_GT(entries.size(), kGateEntry);
  const std::wstring folder = ExpectedDefaultFolder();
  // The folder is as the install found it: the folder page made it, empty.
  for (const std::wstring& entry : entries) EXPECT_FALSE(test::PathExists(folder + entry)) << Narrow(entry);
  EXPECT_TRUE(test::ReadTree(folder, false).empty()) << test::DescribeTree(test::ReadTree(folder, false));
  EXPECT_FALSE(test::KeyExists(HKEY_LOCAL_MACHINE, test::kProductKey));
}

TEST_F(InstallCancel, QuestionHeldOpenUntilTheWorkerFinishedMovesToTheCompletionPage) {
  StartHeldInstall(L"王五");
  MessageBoxWindow box = AskToCancel();
  ASSERT_TRUE(box);
  gate_.Open();
  // The worker runs to its end and reports it while the question is still open.
  ASSERT_FALSE(started_.empty());
  for (DWORD thread : started_) {
    UniqueHandle handle(OpenThread(SYNCHRONIZE, FALSE, thread));
    if (handle) {
      EXPECT_EQ(WaitForSingleObject(handle.get(), 60000), WAIT_OBJECT_0) << "the worker did not end";
    }
  }
  EXPECT_TRUE(WaitUntil([&] { return Position() == 100; }));
  EXPECT_EQ(wizard_.ActiveTemplate(), IDD_PROGRESS);
  EXPECT_TRUE(setup_.IsRunning());
  ASSERT_TRUE(box.Press(IDNO));
  FinishInstall(setup_, wizard_);
  ExpectProductFiles(ExpectedDefaultFolder());
  ExpectProductRecord(ExpectedDefaultFolder(), L"王五", L"");
}

TEST_F(InstallCancel, AnsweredNoLetsTheInstallGoOn) {
  StartHeldInstall(L"赵六");
  // The entries before the gate have been reported.
  EXPECT_TRUE(WaitUntil([&] { return Position() > 0; }));
  MessageBoxWindow box = AskToCancel();
  ASSERT_TRUE(box);
  ASSERT_TRUE(box.Press(IDNO));
  EXPECT_EQ(wizard_.ActiveTemplate(), IDD_PROGRESS);
  EXPECT_TRUE(wizard_.WaitForButtons(false, false, false));
  EXPECT_TRUE(setup_.IsRunning());
  gate_.Open();
  ASSERT_TRUE(wizard_.WaitForPage(IDD_COMPLETION, 60000));
  FinishInstall(setup_, wizard_);
  ExpectProductFiles(ExpectedDefaultFolder());
  ExpectProductRecord(ExpectedDefaultFolder(), L"赵六", L"");
}

}  // namespace
}  // namespace tolvane::drive
