// Upgrades that cannot finish, and an uninstall of a server in use, as a user meets them,
// by keyboard, in one prefix and in this order: the 1.0.8 release over a running 1.0.7
// server (refused, nothing changed; after the server stops it goes through); the
// uninstall with the server running, then a restart; an upgrade that fills a small drive
// D: part-way; an upgrade of the large product ended part-way, then setup started again.
//   TOLVANE_SETUP_EXE          the 1.0.7 setup.exe (the project's build)
//   TOLVANE_OLD_PRODUCT_DIR    its product (product/, order.txt)
//   TOLVANE_RELEASE_DIR        the 1.0.8 release: product/, order.txt, setup.exe
//   TOLVANE_LARGE_SETUP_EXE    a large product's setup.exe (same version as 1.0.7) ...
//   TOLVANE_LARGE_TREE         ... and the tree it was made from
#include <windows.h>
#include <commctrl.h>
#include <prsht.h>

#include <gtest/gtest.h>

#include <algorithm>

#include "resources/resource_ids.h"
#include "tests/e2e/e2e_env.h"
#include "tests/e2e/install_walk.h"
#include "tests/e2e/keyboard_keys.h"
#include "tests/engine/system_state.h"
#include "tests/support/test_files.h"
#include "tests/support/wizard_driver.h"

namespace tolvane::drive {
namespace {

using namespace steps;

// Longer than kWorkTimeoutMs: an upgrade of the large product, or putting it back.
constexpr DWORD kLargeWorkTimeoutMs = 300000;
constexpr wchar_t kJournal[] = L"~setup-run.journal";
constexpr wchar_t kAside[] = L".~setup-old";
constexpr wchar_t kSmallDrive[] = L"D:\\QUAV_SRV\\";

// The stand-in server started from the install folder, as the service would run it.
class RunningServer {
 public:
  explicit RunningServer(const std::wstring& folder) {
    std::wstring command = L"\"" + folder + L"quavserver.exe\" --port 18427";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, folder.c_str(), &startup, &info)) {
      return;
    }
    CloseHandle(info.hThread);
    process_.reset(info.hProcess);
    id_ = info.dwProcessId;
    WaitUntil([&] { return !TopLevelWindows(id_).empty(); });
  }
  ~RunningServer() { Stop(); }
  bool running() const { return process_ && WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT; }
  // Closes its window, as a user would end it.
  bool Stop() {
    if (!process_) return true;
    for (HWND window : TopLevelWindows(id_)) PostMessageW(window, WM_CLOSE, 0, 0);
    const bool ended = WaitForSingleObject(process_.get(), kKeysTimeoutMs) == WAIT_OBJECT_0;
    if (!ended) TerminateProcess(process_.get(), 1);
    process_.reset();
    return ended;
  }

 private:
  UniqueHandle process_;
  DWORD id_ = 0;
};

class SafeUpgrade : public KeyboardWizard {
 protected:
  void SetUp() override { folder_ = ExpectedDefaultFolder(); }

  // The error box of the upgrade: its text, then Enter closes it and setup ends.
  std::wstring TakeError() {
    MessageBoxWindow box = MessageBoxWindow::Find(setup_.Id(), kMessageCaption, kLargeWorkTimeoutMs);
    if (!box) return L"(no error box)";
    const std::wstring text = box.Text();
    Shot(setup_, L"safe-upgrade-error");
    SendKeys(box.Window(), "key Return");
    DWORD code = 1234;
    EXPECT_TRUE(setup_.WaitForExit(kKeysTimeoutMs, &code)) << "setup did not end after the error";
    return text;
  }

  int UpgradeProgress() const {
    const HWND page = reinterpret_cast<HWND>(
        SendMessageW(wizard_.Sheet(), PSM_INDEXTOHWND, static_cast<WPARAM>(IDD_UPGRADE - IDD_WELCOME), 0));
    return page ? static_cast<int>(SendMessageW(GetDlgItem(page, IDC_PROGRESS), PBM_GETPOS, 0, 0)) : -1;
  }

  void ExpectNoTrace(const std::wstring& folder) {
    EXPECT_FALSE(test::PathExists(folder + kJournal));
    for (const auto& [name, item] : test::ReadTree(folder, false)) EXPECT_EQ(name.find(kAside), std::wstring::npos);
    EXPECT_FALSE(test::ReadRegistryValue(HKEY_LOCAL_MACHINE, test::kProductKey, L"SetupRunJournal").present);
  }

  std::wstring folder_;
};

TEST_F(SafeUpgrade, RunningServerRefusesTheUpgradeUntilItStops) {
  ASSERT_FALSE(test::KeyExists(HKEY_LOCAL_MACHINE, test::kProductKey)) << "the prefix is not fresh";
  UseProduct(L"TOLVANE_OLD_PRODUCT_DIR");
  Start(setup_, wizard_, SetupExe());
  WalkToInstall(setup_, wizard_, L"钱七", L"某某翻译公司");
  FinishInstall(setup_, wizard_);
  const test::FolderTree old = test::ReadTree(folder_);

  const std::wstring release = EnvironmentPath(L"TOLVANE_RELEASE_DIR") + L"\\setup.exe";
  {
    RunningServer server(folder_);
    ASSERT_TRUE(server.running());
    StartUpgradeWithKeys(release);
    EXPECT_EQ(TakeError(), L"建立文件 " + folder_ + L"quavserver.exe 出错。");
    EXPECT_TRUE(server.running());
    const test::FolderTree now = test::ReadTree(folder_);
    EXPECT_TRUE(now == old) << test::DescribeTree(now);
    ASSERT_TRUE(server.Stop());
  }
  StartUpgradeWithKeys(release);
  FinishWithEnter(IDD_UPGRADE_COMPLETION, L"safe-upgrade-completion");
  UseProduct(L"TOLVANE_RELEASE_DIR");
  ExpectProductFiles(folder_);
  ExpectNoTrace(folder_);
}

TEST_F(SafeUpgrade, UninstallWithTheServerRunningLeavesNothingAfterARestart) {
  ASSERT_TRUE(test::FileExists(folder_ + L"quavserver.exe")) << "the install before did not happen";
  RunningServer server(folder_);
  ASSERT_TRUE(server.running());
  // The installed release's own setup: it knows every file the upgrade added.
  UninstallWithKeys(L"safe-uninstall-completion", EnvironmentPath(L"TOLVANE_RELEASE_DIR") + L"\\setup.exe");
  EXPECT_TRUE(test::FileExists(folder_ + L"quavserver.exe")) << "a running server was deleted?";

  // The restart ends the server first, then carries out what was marked.
  ASSERT_TRUE(server.Stop());
  std::wstring command = L"wineboot.exe -r";
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info = {};
  ASSERT_TRUE(CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info));
  CloseHandle(info.hThread);
  EXPECT_EQ(WaitForSingleObject(info.hProcess, kWorkTimeoutMs), WAIT_OBJECT_0);
  CloseHandle(info.hProcess);
  EXPECT_FALSE(test::PathExists(folder_)) << test::DescribeTree(test::ReadTree(folder_));
  EXPECT_FALSE(test::KeyExists(HKEY_LOCAL_MACHINE, test::kProductKey));
}

// A 12 MB memory file system as drive D:, for as long as it lives (the test runs as root).
class SmallDrive {
 public:
  SmallDrive() {
    // The prefix is where drive C: lies: PREFIX/dosdevices/c: or PREFIX/drive_c.
    std::string prefix = UnixPath(L"C:\\");
    const size_t cut = std::min(prefix.find("/dosdevices/"), prefix.find("/drive_c"));
    if (cut == std::string::npos) return;
    prefix.resize(cut);
    dosdevice_ = prefix + "/dosdevices/d:";
    mount_ = prefix + "/small-drive";
    mounted_ = RunUnixShell("mkdir -p '" + mount_ + "' && mount -t tmpfs -o size=12m tmpfs '" + mount_ +
                            "' && ln -sfn '" + mount_ + "' '" + dosdevice_ + "'") == "0";
  }
  ~SmallDrive() {
    if (!mount_.empty()) RunUnixShell("rm -f '" + dosdevice_ + "'; umount '" + mount_ + "' || umount -l '" + mount_ + "'; rmdir '" + mount_ + "'");
  }
  bool mounted() const { return mounted_; }

 private:
  std::string dosdevice_, mount_;
  bool mounted_ = false;
};

uint64_t FreeBytes(const wchar_t* root) {
  ULARGE_INTEGER free = {};
  GetDiskFreeSpaceExW(root, &free, nullptr, nullptr);
  return free.QuadPart;
}

TEST_F(SafeUpgrade, UpgradeThatFillsTheDriveLeavesTheOldReleaseAndTheSpace) {
  ASSERT_FALSE(test::KeyExists(HKEY_LOCAL_MACHINE, test::kProductKey)) << "the uninstall before did not happen";
  SmallDrive drive;
  ASSERT_TRUE(drive.mounted()) << "no tmpfs for drive D: (the test needs root)";
  UseProduct(L"TOLVANE_OLD_PRODUCT_DIR");
  Start(setup_, wizard_, SetupExe());
  WalkToInstall(setup_, wizard_, L"钱七", L"某某翻译公司", [&] { ASSERT_TRUE(wizard_.Type(IDC_FOLDER, kSmallDrive)); });
  FinishInstall(setup_, wizard_);
  const test::FolderTree old = test::ReadTree(kSmallDrive);
  ASSERT_TRUE(old.count(L"quavserver.exe"));
  const uint64_t free = FreeBytes(L"D:\\");

  StartUpgradeWithKeys(EnvironmentPath(L"TOLVANE_LARGE_SETUP_EXE"));
  const std::wstring text = TakeError();
  EXPECT_EQ(text.rfind(L"写入文件 D:\\QUAV_SRV\\", 0), 0u) << Narrow(text);
  const test::FolderTree now = test::ReadTree(kSmallDrive);
  EXPECT_TRUE(now == old) << test::DescribeTree(now);
  EXPECT_GE(FreeBytes(L"D:\\") + 65536, free) << "the space of the new files was not given back";
  ExpectNoTrace(kSmallDrive);
  test::RemoveInstallTraces();  // the drive goes now
}

TEST_F(SafeUpgrade, UpgradeEndedPartWayIsRestoredAtTheNextStart) {
  ASSERT_FALSE(test::KeyExists(HKEY_LOCAL_MACHINE, test::kProductKey)) << "the test before did not clean up";
  const std::wstring large = EnvironmentPath(L"TOLVANE_LARGE_SETUP_EXE");
  Start(setup_, wizard_, large);
  WalkToInstall(setup_, wizard_, L"钱七", L"某某翻译公司");
  FinishInstall(setup_, wizard_);

  StartUpgradeWithKeys(large);
  // Past the first files and short of the end, with files moved aside and new ones
  // written; then the process ends as in a crash.
  ASSERT_TRUE(WaitUntil([&] { return UpgradeProgress() >= 40; }, kLargeWorkTimeoutMs)) << UpgradeProgress();
  ASSERT_LT(UpgradeProgress(), 100);
  ASSERT_TRUE(test::PathExists(folder_ + kJournal));
  setup_.Terminate();
  ASSERT_TRUE(setup_.WaitForExit(kKeysTimeoutMs, nullptr));

  // Putting thousands of files back comes before the first page: it may take a while.
  ASSERT_TRUE(setup_.Start(large));
  wizard_ = Wizard::Find(setup_.Id(), kLargeWorkTimeoutMs);
  ASSERT_TRUE(wizard_) << "no wizard after the restart";
  ASSERT_TRUE(wizard_.WaitForPage(IDD_WELCOME));
  ExpectNoTrace(folder_);
  const std::wstring tree = EnvironmentPath(L"TOLVANE_LARGE_TREE") + L"\\";
  const test::FolderTree names = test::ReadTree(tree, false);
  size_t files = 0;
  for (const auto& [name, item] : names) {
    if (item.attributes & FILE_ATTRIBUTE_DIRECTORY) continue;
    EXPECT_TRUE(SameContents(tree + name, folder_ + name)) << Narrow(name);
    ++files;
  }
  EXPECT_GT(files, 10u);
  const test::FolderTree installed = test::ReadTree(folder_, false);
  EXPECT_EQ(installed.size(), names.size()) << test::DescribeTree(installed);
  KeysOn(IDD_WELCOME, &SafeUpgrade::NextButton, "key Escape");
  EXPECT_TRUE(setup_.WaitForExit(kKeysTimeoutMs, nullptr));
}

}  // namespace
}  // namespace tolvane::drive
