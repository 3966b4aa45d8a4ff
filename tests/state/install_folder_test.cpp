// Folder validation, confirmation and creation against the real file system, with the
// real message boxes answered through the window system.
#include "state/install_folder.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "state/installed_product.h"
#include "tests/state/state_test_support.h"
#include "tests/support/msgbox.h"

namespace tolvane::test {
namespace {

constexpr wchar_t kCaption[] = L"安装向导";
constexpr wchar_t kMissingFolder[] = L"请提供正确的安装路径。";
constexpr wchar_t kOverwrite[] = L"覆盖制定文件夹中的同名文件?";
constexpr wchar_t kPathBefore[] = L"F:\\before\\";

std::wstring CreateFailed(const std::wstring& level) { return L"建立文件夹 " + level + L" 出错。"; }

// A drive letter that names no drive in this prefix.
std::wstring MissingDrive() {
  const DWORD drives = GetLogicalDrives();
  for (wchar_t letter = L'Y'; letter > L'E'; --letter) {
    if (!(drives & (1u << (letter - L'A')))) return std::wstring(1, letter) + L":";
  }
  return L"";
}

std::string Narrow(const std::wstring& text) {
  const int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
  std::string out(size > 0 ? size - 1 : 0, '\0');
  if (size > 1) WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, &out[0], size, nullptr, nullptr);
  return out;
}

class InstallFolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(owner_.window(), nullptr);
    ASSERT_FALSE(temp_.path().empty());
    InstalledProduct() = InstalledProductRecord{};
    InstalledProduct().InstallPath = kPathBefore;
  }
  void TearDown() override { InstalledProduct() = InstalledProductRecord{}; }

  // Boxes of this thread with the wizard's caption.
  static MessageBoxFilter Boxes() { return {kCaption, GetCurrentProcessId(), GetCurrentThreadId()}; }

  // Expects one error box with `text`, owned by the owner window, with OK only.
  void ExpectErrorBox(const std::optional<MessageBoxInfo>& box, const std::wstring& text) {
    ASSERT_TRUE(box.has_value()) << "no message box: " << Narrow(text);
    EXPECT_EQ(box->text, text) << Narrow(box->text);
    EXPECT_EQ(box->icon, MessageBoxIcon::Error);
    EXPECT_EQ(box->buttons, std::vector<int>{IDOK});
    EXPECT_EQ(box->owner, owner_.window());
  }

  void FocusOtherBox() {
    SetFocus(owner_.otherBox());
    ASSERT_EQ(GetFocus(), owner_.otherBox());
  }

  OwnerWindow owner_;
  TempFolder temp_;
};

// --- Cleaning up the text -------------------------------------------------------------

TEST_F(InstallFolderTest, BlanksAroundAreTrimmedAndABackslashIsAdded) {
  const std::wstring folder = temp_.path() + L"Server";
  MessageBoxResponder noBox(Boxes(), IDCANCEL);
  EXPECT_TRUE(ValidateFolderText(owner_.window(), L"  \t" + folder + L" \r\n"));
  EXPECT_FALSE(noBox.Stop().has_value());
  EXPECT_EQ(InstalledProduct().InstallPath, folder + L"\\");
  EXPECT_TRUE(IsExistingFolder(folder));
}

TEST_F(InstallFolderTest, ATrailingBackslashIsNotDoubled) {
  const std::wstring folder = temp_.path() + L"Existing\\";
  ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
  MessageBoxResponder noBox(Boxes(), IDCANCEL);
  EXPECT_TRUE(ValidateFolderText(owner_.window(), folder));
  EXPECT_FALSE(noBox.Stop().has_value()) << "no question without a server in the folder";
  EXPECT_EQ(InstalledProduct().InstallPath, folder);
}

class BlankFolderTextTest : public InstallFolderTest, public ::testing::WithParamInterface<const wchar_t*> {};

TEST_P(BlankFolderTextTest, IsRefusedWithAMessageAndTheFocusGoesBackToTheFolderBox) {
  FocusOtherBox();
  MessageBoxResponder answer(Boxes(), IDOK);
  EXPECT_FALSE(ValidateFolderText(owner_.window(), GetParam()));
  ExpectErrorBox(answer.Wait(), kMissingFolder);
  EXPECT_EQ(GetFocus(), owner_.folderBox());
  EXPECT_EQ(InstalledProduct().InstallPath, kPathBefore);
}

INSTANTIATE_TEST_SUITE_P(Texts, BlankFolderTextTest, ::testing::Values(L"", L"   ", L" \t\r\n\x3000 "));

TEST_F(InstallFolderTest, ARelativeFolderIsCreatedAndKeptBelowTheCurrentFolder) {
  CurrentDirectory inTemp(temp_.path());
  ASSERT_TRUE(inTemp.ok());
  MessageBoxResponder noBox(Boxes(), IDCANCEL);
  EXPECT_TRUE(ValidateFolderText(owner_.window(), L"relative\\sub"));
  EXPECT_FALSE(noBox.Stop().has_value());
  EXPECT_TRUE(IsExistingFolder(temp_.path() + L"relative\\sub"));
  EXPECT_EQ(InstalledProduct().InstallPath, temp_.path() + L"relative\\sub\\");
}

// --- Level-by-level creation on a drive of its own --------------------------------------

// Drive D: of the bench prefix, mapped by the test set-up to a fresh folder that holds a
// marker file, so that nothing else can be mistaken for it.
class TestDriveTest : public InstallFolderTest {
 protected:
  void SetUp() override {
    InstallFolderTest::SetUp();
    ASSERT_TRUE(PathExists(L"D:\\tolvane-test-drive"))
        << "drive D: is not the test drive; run through ctest, which maps it";
    ASSERT_TRUE(RemoveTree(L"D:\\x"));
  }
  void TearDown() override {
    RemoveTree(L"D:\\x");
    InstallFolderTest::TearDown();
  }
};

TEST_F(TestDriveTest, MissingLevelsAreCreatedOneAfterAnother) {
  ASSERT_TRUE(CreateDirectoryW(L"D:\\x", nullptr));
  MessageBoxResponder noBox(Boxes(), IDCANCEL);
  EXPECT_TRUE(ValidateFolderText(owner_.window(), L" D:\\x\\y\\z\\ "));
  EXPECT_FALSE(noBox.Stop().has_value());
  EXPECT_TRUE(IsExistingFolder(L"D:\\x\\y"));
  EXPECT_TRUE(IsExistingFolder(L"D:\\x\\y\\z"));
  EXPECT_EQ(InstalledProduct().InstallPath, L"D:\\x\\y\\z\\");
}

TEST_F(TestDriveTest, ALevelThatIsAFileMakesTheNextLevelFail) {
  ASSERT_TRUE(CreateDirectoryW(L"D:\\x", nullptr));
  ASSERT_TRUE(WriteTextFile(L"D:\\x\\y", "a file, not a folder"));
  MessageBoxResponder answer(Boxes(), IDOK);
  EXPECT_FALSE(CreateFolderPath(owner_.window(), L"D:\\x\\y\\z\\"));
  ExpectErrorBox(answer.Wait(), CreateFailed(L"D:\\x\\y\\z"));
}

// --- Folders that cannot be created ---------------------------------------------------------

TEST_F(InstallFolderTest, AMissingDriveFailsAtItsFirstLevel) {
  const std::wstring drive = MissingDrive();
  ASSERT_FALSE(drive.empty());
  FocusOtherBox();
  MessageBoxResponder answer(Boxes(), IDOK);
  EXPECT_FALSE(ValidateFolderText(owner_.window(), drive + L"\\Server\\Data"));
  ExpectErrorBox(answer.Wait(), CreateFailed(drive + L"\\Server"));
  EXPECT_EQ(GetFocus(), owner_.folderBox());
  EXPECT_EQ(InstalledProduct().InstallPath, kPathBefore);
}

TEST_F(InstallFolderTest, AUncPathFailsInsideTheServerName) {
  MessageBoxResponder answer(Boxes(), IDOK);
  EXPECT_FALSE(ValidateFolderText(owner_.window(), L"\\\\tolvane-no-such-host\\share\\folder"));
  ExpectErrorBox(answer.Wait(), CreateFailed(L"\\\\tolvane-no-such-host"));
  EXPECT_EQ(InstalledProduct().InstallPath, kPathBefore);
}

TEST_F(InstallFolderTest, LevelsMadeBeforeAFailureStay) {
  const std::wstring made = temp_.path() + L"made";
  MessageBoxResponder answer(Boxes(), IDOK);
  EXPECT_FALSE(CreateFolderPath(owner_.window(), made + L"\\bad|name\\below\\"));
  ExpectErrorBox(answer.Wait(), CreateFailed(made + L"\\bad|name"));
  EXPECT_TRUE(IsExistingFolder(made));
}

// Builds temp + levels so that the full path is exactly `length` units long.
std::wstring PathOfLength(const std::wstring& base, size_t length) {
  std::wstring path = base;
  while (path.size() + 11 < length) path += L"abcdefghij\\";
  path += std::wstring(length - path.size(), L'k');
  return path;
}

TEST_F(InstallFolderTest, AFullPathOf259UnitsIsCreated) {
  const std::wstring path = PathOfLength(temp_.path(), 259);
  ASSERT_EQ(path.size(), 259u);
  MessageBoxResponder noBox(Boxes(), IDCANCEL);
  EXPECT_TRUE(CreateFolderPath(owner_.window(), path));
  EXPECT_FALSE(noBox.Stop().has_value());
  EXPECT_TRUE(IsExistingFolder(path));
}

TEST_F(InstallFolderTest, AFullPathOf260UnitsOrMoreIsRefusedBeforeAnythingIsCreated) {
  for (size_t length : {260u, 400u}) {
    const std::wstring path = PathOfLength(temp_.path() + L"first\\", length);
    ASSERT_EQ(path.size(), length);
    MessageBoxResponder answer(Boxes(), IDOK);
    EXPECT_FALSE(CreateFolderPath(owner_.window(), path));
    ExpectErrorBox(answer.Wait(), CreateFailed(path));
    EXPECT_FALSE(PathExists(temp_.path() + L"first")) << length;
  }
}

TEST_F(InstallFolderTest, AnOverlongFolderTextIsRefusedToo) {
  const std::wstring folder = PathOfLength(temp_.path() + L"first\\", 300);
  MessageBoxResponder answer(Boxes(), IDOK);
  EXPECT_FALSE(ValidateFolderText(owner_.window(), folder));
  ExpectErrorBox(answer.Wait(), CreateFailed(folder + L"\\"));
  EXPECT_FALSE(PathExists(temp_.path() + L"first"));
  EXPECT_EQ(InstalledProduct().InstallPath, kPathBefore);
}

// The uninstall removes only what lies below a folder in full form: an untidy text must
// be recorded as the folder the files really go to.
TEST_F(InstallFolderTest, AnUntidyFolderIsCreatedAndRecordedInItsFullForm) {
  const std::wstring typed = temp_.path() + L"passed\\..\\tidy//sub\\\\.\\leaf";
  MessageBoxResponder noBox(Boxes(), IDCANCEL);
  EXPECT_TRUE(ValidateFolderText(owner_.window(), typed));
  EXPECT_FALSE(noBox.Stop().has_value());
  EXPECT_EQ(InstalledProduct().InstallPath, temp_.path() + L"tidy\\sub\\leaf\\");
  EXPECT_TRUE(IsExistingFolder(temp_.path() + L"tidy\\sub\\leaf"));
  EXPECT_FALSE(PathExists(temp_.path() + L"passed")) << "a level the text only passed through was made";
}

// The limit holds for the full form, not for the text: 259 units with the backslash are
// accepted, 260 refused, however long the text was.
TEST_F(InstallFolderTest, TheLengthLimitAppliesToTheFullForm) {
  const std::wstring fits = PathOfLength(temp_.path(), 258);
  MessageBoxResponder noBox(Boxes(), IDCANCEL);
  EXPECT_TRUE(ValidateFolderText(owner_.window(), fits + L"\\detour\\..\\.\\"));
  EXPECT_FALSE(noBox.Stop().has_value());
  EXPECT_EQ(InstalledProduct().InstallPath, fits + L"\\");
  EXPECT_EQ(InstalledProduct().InstallPath.size(), 259u);

  const std::wstring tooLong = PathOfLength(temp_.path() + L"first\\", 259);
  MessageBoxResponder answer(Boxes(), IDOK);
  EXPECT_FALSE(ValidateFolderText(owner_.window(), tooLong + L"\\\\detour/.."));
  ExpectErrorBox(answer.Wait(), CreateFailed(tooLong + L"\\"));
  EXPECT_FALSE(PathExists(temp_.path() + L"first"));
  EXPECT_EQ(InstalledProduct().InstallPath, fits + L"\\");
}

TEST_F(InstallFolderTest, APathWithoutFullFormFailsSilently) {
  MessageBoxResponder noBox(Boxes(), IDOK);
  EXPECT_FALSE(CreateFolderPath(owner_.window(), L""));
  EXPECT_FALSE(noBox.Stop().has_value());
}

// A worker creates the package's folders with the progress page as owner.
struct WorkerCall {
  HWND owner;
  std::wstring path;
  DWORD threadId = 0;
  bool result = true;
};

TEST_F(InstallFolderTest, FromAWorkerTheBoxIsShownByTheWorkerForTheOwner) {
  WorkerCall call{owner_.window(), MissingDrive() + L"\\w\\", 0, true};
  MessageBoxResponder answer({kCaption, GetCurrentProcessId(), 0}, IDOK);
  ASSERT_TRUE(RunOnWorkerThread(
      [](void* context) {
        WorkerCall& c = *static_cast<WorkerCall*>(context);
        c.threadId = GetCurrentThreadId();
        c.result = CreateFolderPath(c.owner, c.path);
      },
      &call, kDefaultBoxTimeoutMs));
  EXPECT_FALSE(call.result);
  const auto box = answer.Wait();
  ExpectErrorBox(box, CreateFailed(call.path.substr(0, call.path.size() - 1)));
  ASSERT_TRUE(box.has_value());
  EXPECT_EQ(box->threadId, call.threadId);
}

// --- Existing folders and the overwrite question --------------------------------------

class ExistingFolderTest : public InstallFolderTest {
 protected:
  void SetUp() override {
    InstallFolderTest::SetUp();
    folder_ = temp_.path() + L"Installed\\";
    ASSERT_TRUE(CreateDirectoryW(folder_.c_str(), nullptr));
  }
  void PutServer() { ASSERT_TRUE(WriteTextFile(folder_ + L"quavserver.exe", "MZ")); }

  void ExpectOverwriteQuestion(const std::optional<MessageBoxInfo>& box) {
    ASSERT_TRUE(box.has_value()) << "no overwrite question";
    EXPECT_EQ(box->text, kOverwrite) << Narrow(box->text);
    EXPECT_EQ(box->icon, MessageBoxIcon::Question);
    EXPECT_EQ(box->buttons, (std::vector<int>{IDYES, IDNO, IDCANCEL}));
    EXPECT_EQ(box->defaultButton, IDCANCEL);
    EXPECT_EQ(box->owner, owner_.window());
  }

  std::wstring folder_;
};

TEST_F(ExistingFolderTest, WithoutTheServerItIsAcceptedWithoutAQuestion) {
  ASSERT_TRUE(WriteTextFile(folder_ + L"other.exe", "MZ"));
  MessageBoxResponder noBox(Boxes(), IDCANCEL);
  EXPECT_TRUE(ConfirmInstallFolder(owner_.window(), folder_));
  EXPECT_FALSE(noBox.Stop().has_value());
  EXPECT_EQ(InstalledProduct().InstallPath, folder_);
}

TEST_F(ExistingFolderTest, WithTheServerYesAcceptsIt) {
  PutServer();
  MessageBoxResponder answer(Boxes(), IDYES);
  EXPECT_TRUE(ValidateFolderText(owner_.window(), folder_));
  ExpectOverwriteQuestion(answer.Wait());
  EXPECT_EQ(InstalledProduct().InstallPath, folder_);
}

class DeclinedOverwriteTest : public ExistingFolderTest, public ::testing::WithParamInterface<int> {};

TEST_P(DeclinedOverwriteTest, KeepsTheUserOnThePage) {
  PutServer();
  FocusOtherBox();
  MessageBoxResponder answer(Boxes(), GetParam());
  EXPECT_FALSE(ValidateFolderText(owner_.window(), folder_));
  ExpectOverwriteQuestion(answer.Wait());
  EXPECT_TRUE(answer.Answered());
  EXPECT_EQ(InstalledProduct().InstallPath, kPathBefore);
  EXPECT_EQ(GetFocus(), owner_.folderBox());
}

INSTANTIATE_TEST_SUITE_P(Answers, DeclinedOverwriteTest, ::testing::Values(IDNO, IDCANCEL, kCloseBox),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return info.param == IDNO ? "No" : info.param == IDCANCEL ? "Cancel" : "Closed";
                         });

TEST_F(ExistingFolderTest, IsExistingFolderWantsAFolder) {
  EXPECT_TRUE(IsExistingFolder(folder_));
  EXPECT_TRUE(IsExistingFolder(L"C:\\"));
  PutServer();
  EXPECT_FALSE(IsExistingFolder(folder_ + L"quavserver.exe"));
  EXPECT_FALSE(IsExistingFolder(folder_ + L"missing\\"));
  EXPECT_FALSE(IsExistingFolder(L""));
}

}  // namespace
}  // namespace tolvane::test
