// The wizard's pages in this process, in the real sheet, with stand-in workers that the
// tests step through: button states, Next results, message boxes, the cancel question
// and the ways each progress page ends.
#include <windows.h>
#include <commctrl.h>
#include <prsht.h>
#include <richedit.h>

#include <gtest/gtest.h>

#include <memory>
#include <optional>

#include "app/progress_pages.h"
#include "app/setup_pages.h"
#include "app/wizard_sheet.h"
#include "engine/worker.h"
#include "resources/resource_ids.h"
#include "state/installed_product.h"
#include "tests/app/fake_worker.h"
#include "tests/app/modal_thread.h"
#include "tests/support/msgbox.h"
#include "tests/support/wizard_driver.h"

namespace tolvane::test {
namespace {

using drive::WaitUntil;
using drive::Wizard;
using drive::WizardButton;

const UniqueModule g_richEdit(LoadLibraryW(L"RICHED20.DLL"));

constexpr wchar_t kCaption[] = L"安装向导";
constexpr wchar_t kCancelQuestion[] = L"安装未完成，确认取消安装?";
constexpr wchar_t kUninstallQuestion[] = L"确认从计算机中卸载Tolvane翻译软件?";

// The message box of this process that shows `text`, once it is there.
std::optional<MessageBoxInfo> WaitForBox(const std::wstring& text, DWORD timeoutMs = drive::kDefaultTimeoutMs) {
  std::optional<MessageBoxInfo> found;
  WaitUntil(
      [&] {
        for (HWND box : FindMessageBoxes({kCaption, GetCurrentProcessId()})) {
          MessageBoxInfo info = ReadMessageBox(box);
          if (info.text == text) {
            found = info;
            return true;
          }
        }
        return false;
      },
      timeoutMs);
  return found;
}

std::string Utf8(const std::wstring& text) {
  const int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  std::string out(n > 0 ? n : 0, '\0');
  if (n > 0) WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &out[0], n, nullptr, nullptr);
  return out;
}

bool NoBoxOpen() { return FindMessageBoxes({kCaption, GetCurrentProcessId()}).empty(); }

class PagesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FakeWorker::UseForInstall(&install_);
    FakeWorker::UseForUninstall(&uninstall_);
    FakeWorker::UseForUpgrade(&upgrade_);
  }
  void TearDown() override {
    // Whatever a failed test left open goes, so that the next test starts clean.
    if (modal_ && !modal_->Closed()) {
      pages_.progress.StopFlag = 1;  // lets the install page close without its question
      PostMessageW(sheet_window_, PSM_PRESSBUTTON, PSBTN_CANCEL, 0);
      PumpUntil([&] {
        for (HWND box : FindMessageBoxes({kCaption, GetCurrentProcessId()})) DismissMessageBox(box);
        return modal_->Closed();
      });
    }
    modal_.reset();
    FakeWorker::UseForInstall(nullptr);
    FakeWorker::UseForUninstall(nullptr);
    FakeWorker::UseForUpgrade(nullptr);
  }

  // Shows the whole wizard and, unless it is the welcome page, jumps to `templateId`.
  void Show(int templateId) {
    ASSERT_TRUE(pages_.AddTo(sheet_));
    modal_ = std::make_unique<ModalThread>([this] { sheet_.DoModal(nullptr); });
    wizard_ = modal_->WaitForSheet();
    ASSERT_TRUE(wizard_);
    sheet_window_ = wizard_.Sheet();
    ASSERT_TRUE(wizard_.WaitForPage(IDD_WELCOME));
    if (templateId != IDD_WELCOME) JumpTo(templateId);
  }
  void JumpTo(int templateId) {
    SendMessageW(sheet_window_, PSM_SETCURSELID, 0, templateId);
    ASSERT_TRUE(wizard_.WaitForPage(templateId));
  }
  bool Press(WizardButton button) {
    return PumpUntil([&] { return wizard_.IsButtonEnabled(button); }) && wizard_.Press(button);
  }
  // Once a button request posted now has come through, everything posted to the sheet's
  // thread before it has too. The request must differ from the buttons shown now.
  void Settle(bool back, bool next) {
    PostMessageW(sheet_window_, PSM_SETWIZBUTTONS, 0, (back ? PSWIZB_BACK : 0) | (next ? PSWIZB_NEXT : 0));
    ASSERT_TRUE(wizard_.WaitForButtons(back, next, false));
  }
  void EndDuringTheQuestion(int answer);
  int Position() const { return static_cast<int>(SendMessageW(wizard_.Control(IDC_PROGRESS), PBM_GETPOS, 0, 0)); }
  bool WaitForPosition(int value) const { return WaitUntil([&] { return Position() == value; }); }

  FakeWorker install_, uninstall_, upgrade_;
  PageSet pages_;
  CWizardSheet sheet_;
  std::unique_ptr<ModalThread> modal_;  // closed before the sheet and pages go
  Wizard wizard_;
  HWND sheet_window_ = nullptr;
};

// ---- setup pages ---------------------------------------------------------------------

TEST(TrimSpace, RemovesBlanksAtBothEndsOnly) {
  EXPECT_EQ(TrimSpace(L"  张 三\t "), L"张 三");
  EXPECT_EQ(TrimSpace(L"\t\r\n \v\f"), L"");
  EXPECT_EQ(TrimSpace(L""), L"");
  EXPECT_EQ(TrimSpace(L"公司"), L"公司");
  EXPECT_EQ(TrimSpace(L"a  b"), L"a  b");
}

TEST_F(PagesTest, SetupTypeOffersUpgradeFirstAndNoBack) {
  Show(IDD_SETUP_TYPE);
  EXPECT_TRUE(wizard_.WaitForButtons(false, true, false));
  EXPECT_TRUE(wizard_.IsChecked(IDC_UPGRADE));
  EXPECT_TRUE(wizard_.IsEnabled(IDC_UPGRADE));
  EXPECT_FALSE(wizard_.IsChecked(IDC_REINSTALL));
  EXPECT_FALSE(wizard_.IsChecked(IDC_UNINSTALL));
  ASSERT_TRUE(Press(WizardButton::Next));
  ASSERT_TRUE(wizard_.WaitForPage(IDD_UPGRADE));
  upgrade_.SendDone();
  ASSERT_TRUE(wizard_.WaitForPage(IDD_UPGRADE_COMPLETION));
  ASSERT_TRUE(Press(WizardButton::Finish));
  EXPECT_TRUE(modal_->WaitClosed());
}

TEST_F(PagesTest, SetupTypeReinstallGoesToTheLicence) {
  Show(IDD_SETUP_TYPE);
  ASSERT_TRUE(wizard_.Choose(IDC_REINSTALL));
  ASSERT_TRUE(Press(WizardButton::Next));
  EXPECT_TRUE(wizard_.WaitForPage(IDD_LICENSE));
}

TEST_F(PagesTest, UninstallIsConfirmedAndOnlyYesGoesOn) {
  uninstall_.RefuseStart();  // keeps the uninstall page from moving on by itself
  Show(IDD_SETUP_TYPE);
  ASSERT_TRUE(wizard_.Choose(IDC_UNINSTALL));

  for (int answer : {IDNO, IDCANCEL}) {
    ASSERT_TRUE(Press(WizardButton::Next));
    auto box = WaitForBox(kUninstallQuestion);
    ASSERT_TRUE(box);
    EXPECT_EQ(box->icon, MessageBoxIcon::Question);
    EXPECT_EQ(box->buttons, (std::vector<int>{IDYES, IDNO, IDCANCEL}));
    EXPECT_EQ(box->defaultButton, IDCANCEL);
    EXPECT_EQ(GetAncestor(box->owner, GA_ROOT), sheet_window_);
    ASSERT_TRUE(PressMessageBoxButton(box->window, answer));
    Settle(true, true);
    EXPECT_EQ(wizard_.ActiveTemplate(), IDD_SETUP_TYPE) << "answer " << answer;
    EXPECT_FALSE(uninstall_.Started());
  }

  ASSERT_TRUE(Press(WizardButton::Next));
  auto box = WaitForBox(kUninstallQuestion);
  ASSERT_TRUE(box);
  ASSERT_TRUE(PressMessageBoxButton(box->window, IDYES));
  EXPECT_TRUE(wizard_.WaitForPage(IDD_UNINSTALL));
}

TEST_F(PagesTest, LicenceShowsTheAgreementAndNeedsAcceptance) {
  Show(IDD_LICENSE);
  HWND text = wizard_.Control(IDC_LICENSE_TEXT);
  const std::wstring agreement = WindowString(text);
  EXPECT_NE(agreement.find(L"最终用户许可协议"), std::wstring::npos);
  EXPECT_NE(agreement.find(L"一、许可授予"), std::wstring::npos);
  // The RTF markup itself must not show.
  EXPECT_EQ(agreement.find(L"\\rtf"), std::wstring::npos);
  EXPECT_TRUE(SendMessageW(text, EM_GETOPTIONS, 0, 0) & ECO_READONLY);

  EXPECT_FALSE(wizard_.IsChecked(IDC_ACCEPT));
  EXPECT_FALSE(wizard_.IsChecked(IDC_DECLINE));
  EXPECT_TRUE(wizard_.WaitForButtons(false, false, false));
  ASSERT_TRUE(wizard_.Choose(IDC_ACCEPT));
  EXPECT_TRUE(wizard_.WaitForButtons(false, true, false));
  ASSERT_TRUE(wizard_.Choose(IDC_DECLINE));
  EXPECT_TRUE(wizard_.WaitForButtons(false, false, false));
  ASSERT_TRUE(wizard_.Choose(IDC_ACCEPT));
  ASSERT_TRUE(Press(WizardButton::Next));
  ASSERT_TRUE(wizard_.WaitForPage(IDD_USER_INFO));
  // Back returns to the licence as the user left it.
  ASSERT_TRUE(Press(WizardButton::Back));
  ASSERT_TRUE(wizard_.WaitForPage(IDD_LICENSE));
  EXPECT_TRUE(wizard_.IsChecked(IDC_ACCEPT));
  EXPECT_TRUE(wizard_.WaitForButtons(false, true, false));
}

TEST_F(PagesTest, UserInformationStartsWithTheRecordedNameAndCompany) {
  Show(IDD_WELCOME);
  InstalledProduct().UserName = L"李四";
  InstalledProduct().UserCompany = L"某某公司";
  JumpTo(IDD_USER_INFO);
  EXPECT_EQ(wizard_.Text(IDC_USER_NAME), L"李四");
  EXPECT_EQ(wizard_.Text(IDC_COMPANY), L"某某公司");
  EXPECT_TRUE(wizard_.WaitForButtons(true, true, false));
}

TEST_F(PagesTest, UserInformationNeedsANameAndStoresTheTrimmedEntries) {
  Show(IDD_WELCOME);
  InstalledProduct().UserName.clear();
  InstalledProduct().UserCompany.clear();
  JumpTo(IDD_USER_INFO);
  EXPECT_EQ(wizard_.Text(IDC_USER_NAME), L"");
  EXPECT_EQ(wizard_.Text(IDC_COMPANY), L"");
  EXPECT_TRUE(wizard_.WaitForButtons(true, false, false));

  ASSERT_TRUE(wizard_.Type(IDC_COMPANY, L"  公司  "));
  ASSERT_TRUE(wizard_.Type(IDC_USER_NAME, L"  张三 "));
  EXPECT_TRUE(wizard_.WaitForButtons(true, true, false));
  EXPECT_EQ(InstalledProduct().EnteredUserName, L"张三");
  EXPECT_EQ(InstalledProduct().EnteredUserCompany, L"公司");
  EXPECT_EQ(wizard_.Text(IDC_USER_NAME), L"  张三 ");  // the box keeps what was typed

  // Blanks only: Next goes off, and the failed test stores nothing.
  ASSERT_TRUE(wizard_.Type(IDC_USER_NAME, L" \t  "));
  ASSERT_TRUE(wizard_.Type(IDC_COMPANY, L"别的公司"));
  EXPECT_TRUE(wizard_.WaitForButtons(true, false, false));
  EXPECT_EQ(InstalledProduct().EnteredUserName, L"张三");
  EXPECT_EQ(InstalledProduct().EnteredUserCompany, L"公司");
  // Next pressed by other means than the disabled button still stays.
  SendMessageW(sheet_window_, PSM_PRESSBUTTON, PSBTN_NEXT, 0);
  EXPECT_EQ(wizard_.ActiveTemplate(), IDD_USER_INFO);

  // An empty company is accepted.
  ASSERT_TRUE(wizard_.Type(IDC_COMPANY, L""));
  ASSERT_TRUE(wizard_.Type(IDC_USER_NAME, L"王五"));
  EXPECT_TRUE(wizard_.WaitForButtons(true, true, false));
  EXPECT_EQ(InstalledProduct().EnteredUserName, L"王五");
  EXPECT_EQ(InstalledProduct().EnteredUserCompany, L"");
  ASSERT_TRUE(Press(WizardButton::Next));
  ASSERT_TRUE(wizard_.WaitForPage(IDD_SELECT_FOLDER));
  // Back returns to the boxes as they were left.
  ASSERT_TRUE(Press(WizardButton::Back));
  ASSERT_TRUE(wizard_.WaitForPage(IDD_USER_INFO));
  EXPECT_EQ(wizard_.Text(IDC_USER_NAME), L"王五");
}

TEST_F(PagesTest, FolderPageShowsTheFolderAndRefusesBlankText) {
  Show(IDD_SELECT_FOLDER);
  EXPECT_FALSE(InstalledProduct().InstallPath.empty());
  EXPECT_EQ(wizard_.Text(IDC_FOLDER), InstalledProduct().InstallPath);
  EXPECT_TRUE(wizard_.WaitForButtons(true, true, false));

  ASSERT_TRUE(wizard_.Type(IDC_FOLDER, L"   "));
  ASSERT_TRUE(Press(WizardButton::Next));
  auto box = WaitForBox(L"请提供正确的安装路径。");
  ASSERT_TRUE(box);
  ASSERT_TRUE(PressMessageBoxButton(box->window, IDOK));
  Settle(true, false);
  EXPECT_EQ(wizard_.ActiveTemplate(), IDD_SELECT_FOLDER);
  EXPECT_FALSE(install_.Started());
}

// The picker of the shell, opened by the browse button.
HWND WaitForPicker(HWND sheet) {
  HWND picker = nullptr;
  WaitUntil([&] {
    for (HWND window : drive::TopLevelWindows(GetCurrentProcessId())) {
      if (window != sheet && drive::ClassName(window) == L"#32770" &&
          FindWindowExW(window, nullptr, L"SysTreeView32", nullptr)) {
        picker = window;
        return true;
      }
    }
    return false;
  });
  return picker;
}

std::wstring SelectedFolderName(HWND picker) {
  HWND tree = FindWindowExW(picker, nullptr, L"SysTreeView32", nullptr);
  auto item = reinterpret_cast<HTREEITEM>(SendMessageW(tree, TVM_GETNEXTITEM, TVGN_CARET, 0));
  wchar_t text[MAX_PATH] = {};
  TVITEMW data = {};
  data.mask = TVIF_TEXT;
  data.hItem = item;
  data.pszText = text;
  data.cchTextMax = MAX_PATH;
  if (!item || !SendMessageW(tree, TVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&data))) return std::wstring();
  return text;
}

bool HasChildWithText(HWND parent, const std::wstring& text) {
  for (HWND child = GetWindow(parent, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
    if (_wcsicmp(WindowString(child).c_str(), text.c_str()) == 0) return true;
  }
  return false;
}

TEST_F(PagesTest, BrowseStartsAtTheTypedFolderAndTakesTheChosenOne) {
  wchar_t windows[MAX_PATH] = {};
  ASSERT_GT(GetWindowsDirectoryW(windows, MAX_PATH), 0u);
  const std::wstring folder = windows;  // e.g. C:\windows
  const std::wstring name = folder.substr(folder.rfind(L'\\') + 1);
  Show(IDD_SELECT_FOLDER);
  ASSERT_TRUE(wizard_.Type(IDC_FOLDER, folder));

  ASSERT_TRUE(wizard_.Click(IDC_BROWSE));
  HWND picker = WaitForPicker(sheet_window_);
  ASSERT_TRUE(picker) << "no folder picker appeared";
  EXPECT_TRUE(WaitUntil([&] { return _wcsicmp(SelectedFolderName(picker).c_str(), name.c_str()) == 0; }))
      << "selected: " << Utf8(SelectedFolderName(picker));
  EXPECT_TRUE(HasChildWithText(picker, L"安装路径:"));
  // The status text follows the selection with its full path.
  EXPECT_TRUE(WaitUntil([&] { return HasChildWithText(picker, folder); }));
  PostMessageW(picker, WM_COMMAND, IDCANCEL, 0);
  ASSERT_TRUE(WaitForWindowGone(picker));
  EXPECT_EQ(wizard_.Text(IDC_FOLDER), folder);

  // Confirmed: the shell's path replaces the text, without a backslash added.
  ASSERT_TRUE(wizard_.Type(IDC_FOLDER, folder + L"\\"));
  ASSERT_TRUE(wizard_.Click(IDC_BROWSE));
  picker = WaitForPicker(sheet_window_);
  ASSERT_TRUE(picker);
  ASSERT_TRUE(WaitUntil([&] { return _wcsicmp(SelectedFolderName(picker).c_str(), name.c_str()) == 0; }));
  PostMessageW(picker, WM_COMMAND, IDOK, 0);
  ASSERT_TRUE(WaitForWindowGone(picker));
  EXPECT_TRUE(WaitUntil([&] { return _wcsicmp(wizard_.Text(IDC_FOLDER).c_str(), folder.c_str()) == 0; }))
      << Utf8(wizard_.Text(IDC_FOLDER));
}

// ---- install progress ----------------------------------------------------------------

TEST_F(PagesTest, InstallStartsItsWorkerShowsProgressAndMovesOnAtTheEnd) {
  Show(IDD_PROGRESS);
  EXPECT_TRUE(wizard_.WaitForButtons(false, false, false));
  EXPECT_TRUE(wizard_.IsButtonEnabled(WizardButton::Cancel));
  ASSERT_TRUE(WaitUntil([&] { return install_.Started(); }));
  EXPECT_EQ(install_.Page(), wizard_.ActivePage());
  EXPECT_EQ(SendMessageW(wizard_.Control(IDC_PROGRESS), PBM_GETRANGE, FALSE, 0), 100);
  EXPECT_EQ(Position(), 0);

  install_.Progress(35, WM_SETUP_PROGRESS);
  EXPECT_TRUE(WaitForPosition(35));
  install_.Progress(100, WM_SETUP_PROGRESS);
  EXPECT_TRUE(WaitForPosition(100));
  install_.SendDone();
  ASSERT_TRUE(wizard_.WaitForPage(IDD_COMPLETION));
  EXPECT_TRUE(wizard_.WaitForButtons(false, false, true));
  EXPECT_EQ(install_.StopFlag(), 0);

  ASSERT_TRUE(Press(WizardButton::Finish));
  EXPECT_TRUE(modal_->WaitClosed());
}

TEST_F(PagesTest, CancelAnsweredNoOrCancelLetsTheInstallGoOn) {
  Show(IDD_PROGRESS);
  ASSERT_TRUE(WaitUntil([&] { return install_.Started(); }));
  for (int answer : {IDNO, IDCANCEL}) {
    ASSERT_TRUE(wizard_.Press(WizardButton::Cancel));
    auto box = WaitForBox(kCancelQuestion);
    ASSERT_TRUE(box);
    EXPECT_EQ(box->icon, MessageBoxIcon::Question);
    EXPECT_EQ(box->buttons, (std::vector<int>{IDYES, IDNO, IDCANCEL}));
    EXPECT_EQ(box->defaultButton, IDCANCEL);
    ASSERT_TRUE(PressMessageBoxButton(box->window, answer));
    EXPECT_FALSE(modal_->Closed());
    EXPECT_EQ(install_.StopFlag(), 0);
  }
  install_.Progress(60, WM_SETUP_PROGRESS);
  EXPECT_TRUE(WaitForPosition(60));
  install_.SendDone();
  EXPECT_TRUE(wizard_.WaitForPage(IDD_COMPLETION));
}

TEST_F(PagesTest, CancelAnsweredYesStopsTheWorkerAndClosesTheWizard) {
  Show(IDD_PROGRESS);
  ASSERT_TRUE(WaitUntil([&] { return install_.Started(); }));
  install_.EndWhenStopped();
  ASSERT_TRUE(wizard_.Press(WizardButton::Cancel));
  auto box = WaitForBox(kCancelQuestion);
  ASSERT_TRUE(box);
  ASSERT_TRUE(PressMessageBoxButton(box->window, IDYES));
  EXPECT_TRUE(modal_->WaitClosed());
  EXPECT_TRUE(install_.WaitEnded());
  EXPECT_EQ(pages_.progress.StopFlag, 1);
  EXPECT_TRUE(NoBoxOpen());  // the second cancel asked nothing
}

TEST_F(PagesTest, AWorkerThatDoesNotStopIsNotWaitedForLongerThanItsTime) {
  Show(IDD_PROGRESS);
  ASSERT_TRUE(WaitUntil([&] { return install_.Started(); }));
  ASSERT_TRUE(wizard_.Press(WizardButton::Cancel));
  auto box = WaitForBox(kCancelQuestion);
  ASSERT_TRUE(box);
  ASSERT_TRUE(PressMessageBoxButton(box->window, IDYES));
  // The worker never looks at the flag: the wizard closes all the same, after its wait.
  EXPECT_TRUE(modal_->WaitClosed());
  EXPECT_TRUE(install_.Running());
  EXPECT_EQ(pages_.progress.StopFlag, 1);
}

// The worker ends while the cancel question is open: whatever the answer, the wizard
// moves to the completion page once the question closes.
void PagesTest::EndDuringTheQuestion(int answer) {
  Show(IDD_PROGRESS);
  ASSERT_TRUE(WaitUntil([&] { return install_.Started(); }));
  ASSERT_TRUE(wizard_.Press(WizardButton::Cancel));
  auto box = WaitForBox(kCancelQuestion);
  ASSERT_TRUE(box);
  install_.Progress(100, WM_SETUP_PROGRESS);
  install_.SendDone();
  install_.End();
  ASSERT_TRUE(install_.WaitEnded());  // the page took the end while the question was open
  EXPECT_EQ(wizard_.ActiveTemplate(), IDD_PROGRESS);
  ASSERT_TRUE(PressMessageBoxButton(box->window, answer));
  EXPECT_TRUE(wizard_.WaitForPage(IDD_COMPLETION));
  EXPECT_TRUE(wizard_.WaitForButtons(false, false, true));
  EXPECT_FALSE(modal_->Closed());
  EXPECT_EQ(pages_.progress.StopFlag, 0);
}

TEST_F(PagesTest, TheEndDuringTheQuestionAnsweredNoMovesOn) { EndDuringTheQuestion(IDNO); }
TEST_F(PagesTest, TheEndDuringTheQuestionAnsweredYesMovesOn) { EndDuringTheQuestion(IDYES); }

TEST_F(PagesTest, AnErrorIsShownAndClosesTheWizard) {
  Show(IDD_PROGRESS);
  ASSERT_TRUE(WaitUntil([&] { return install_.Started(); }));
  install_.Progress(20, WM_SETUP_PROGRESS);
  install_.SendError(L"不正确的安装文件。");
  auto box = WaitForBox(L"不正确的安装文件。");
  ASSERT_TRUE(box);
  EXPECT_EQ(box->icon, MessageBoxIcon::Error);
  EXPECT_EQ(box->buttons, std::vector<int>{IDOK});
  EXPECT_FALSE(modal_->Closed());
  ASSERT_TRUE(PressMessageBoxButton(box->window, IDOK));
  EXPECT_TRUE(modal_->WaitClosed());
  EXPECT_EQ(pages_.progress.StopFlag, 1);
  EXPECT_TRUE(NoBoxOpen());
}

TEST_F(PagesTest, AnErrorWithoutTextClosesTheWizardWithoutABox) {
  Show(IDD_PROGRESS);
  ASSERT_TRUE(WaitUntil([&] { return install_.Started(); }));
  install_.SendError(nullptr);
  EXPECT_TRUE(modal_->WaitClosed());
  EXPECT_TRUE(install_.WaitIdle());
  EXPECT_EQ(pages_.progress.StopFlag, 1);
}

TEST_F(PagesTest, AnErrorDuringTheQuestionClosesTheWizardOnceTheQuestionCloses) {
  Show(IDD_PROGRESS);
  ASSERT_TRUE(WaitUntil([&] { return install_.Started(); }));
  ASSERT_TRUE(wizard_.Press(WizardButton::Cancel));
  auto question = WaitForBox(kCancelQuestion);
  ASSERT_TRUE(question);
  install_.SendError(L"建立程序组出错。");
  auto error = WaitForBox(L"建立程序组出错。");
  ASSERT_TRUE(error);
  ASSERT_TRUE(PressMessageBoxButton(error->window, IDOK));
  ASSERT_TRUE(install_.WaitIdle());
  // The question is answered No, but the error has decided already.
  if (IsWindow(question->window)) {
    ASSERT_TRUE(PressMessageBoxButton(question->window, IDNO));
  }
  EXPECT_TRUE(modal_->WaitClosed());
  EXPECT_NE(wizard_.ActiveTemplate(), IDD_COMPLETION);
}

TEST_F(PagesTest, AnInstallWhoseWorkerDidNotStartWaitsAndCancelsWithoutAQuestion) {
  install_.RefuseStart();
  Show(IDD_PROGRESS);
  EXPECT_TRUE(wizard_.WaitForButtons(false, false, false));
  ASSERT_TRUE(wizard_.Press(WizardButton::Cancel));
  EXPECT_TRUE(modal_->WaitClosed());
  EXPECT_TRUE(NoBoxOpen());
}

// ---- uninstall and upgrade -----------------------------------------------------------

TEST_F(PagesTest, UninstallCannotBeCancelledAndEndsOnItsCompletionPage) {
  Show(IDD_UNINSTALL);
  EXPECT_TRUE(wizard_.WaitForButtons(false, false, false));
  ASSERT_TRUE(WaitUntil([&] { return uninstall_.Started(); }));

  uninstall_.Progress(30, WM_UNINSTALL_PROGRESS);
  EXPECT_TRUE(WaitForPosition(30));
  // The install's progress message means nothing here.
  uninstall_.Progress(70, WM_SETUP_PROGRESS);
  ASSERT_TRUE(uninstall_.WaitIdle());
  Settle(true, false);
  EXPECT_EQ(Position(), 30);

  ASSERT_TRUE(wizard_.Press(WizardButton::Cancel));
  Settle(false, false);
  EXPECT_FALSE(modal_->Closed());
  EXPECT_TRUE(NoBoxOpen());
  // Next is refused while the worker runs.
  SendMessageW(sheet_window_, PSM_PRESSBUTTON, PSBTN_NEXT, 0);
  EXPECT_EQ(wizard_.ActiveTemplate(), IDD_UNINSTALL);

  uninstall_.SendDone();
  ASSERT_TRUE(wizard_.WaitForPage(IDD_UNINSTALL_COMPLETION));
  EXPECT_TRUE(wizard_.WaitForButtons(false, false, true));
  EXPECT_EQ(wizard_.Text(IDC_TITLE), L"Tolvane翻译服务器安装向导完成");
  ASSERT_TRUE(Press(WizardButton::Finish));
  EXPECT_TRUE(modal_->WaitClosed());
}

TEST_F(PagesTest, AnUninstallWhoseWorkerDidNotStartCanBeCancelled) {
  uninstall_.RefuseStart();
  Show(IDD_UNINSTALL);
  EXPECT_TRUE(wizard_.WaitForButtons(false, false, false));
  ASSERT_TRUE(wizard_.Press(WizardButton::Cancel));
  EXPECT_TRUE(modal_->WaitClosed());
}

// A worker that ends without its closing message will never send one: Cancel lets the
// user out of each progress page, the install's without the question.
class SilentWorkerTest : public PagesTest, public ::testing::WithParamInterface<int> {};

TEST_P(SilentWorkerTest, CancelClosesThePage) {
  FakeWorker& worker = GetParam() == IDD_PROGRESS ? install_ : GetParam() == IDD_UNINSTALL ? uninstall_ : upgrade_;
  Show(GetParam());
  ASSERT_TRUE(WaitUntil([&] { return worker.Started(); }));
  worker.End();
  ASSERT_TRUE(worker.WaitEnded());
  ASSERT_TRUE(wizard_.Press(WizardButton::Cancel));
  EXPECT_TRUE(modal_->WaitClosed());
  EXPECT_TRUE(NoBoxOpen());
}

INSTANTIATE_TEST_SUITE_P(Pages, SilentWorkerTest, ::testing::Values(IDD_PROGRESS, IDD_UNINSTALL, IDD_UPGRADE));

TEST_F(PagesTest, UpgradeRefusesCancelUntilAnErrorAndThenCloses) {
  Show(IDD_UPGRADE);
  EXPECT_TRUE(wizard_.WaitForButtons(false, false, false));
  ASSERT_TRUE(WaitUntil([&] { return upgrade_.Started(); }));
  upgrade_.Progress(20, WM_SETUP_PROGRESS);
  EXPECT_TRUE(WaitForPosition(20));

  ASSERT_TRUE(wizard_.Press(WizardButton::Cancel));
  Settle(true, false);
  EXPECT_FALSE(modal_->Closed());
  EXPECT_TRUE(NoBoxOpen());

  upgrade_.SendError(L"无法直接升级，请重新安装软件。");
  auto box = WaitForBox(L"无法直接升级，请重新安装软件。");
  ASSERT_TRUE(box);
  EXPECT_EQ(box->icon, MessageBoxIcon::Error);
  EXPECT_EQ(box->buttons, std::vector<int>{IDOK});
  ASSERT_TRUE(PressMessageBoxButton(box->window, IDOK));
  EXPECT_TRUE(modal_->WaitClosed());
}

TEST_F(PagesTest, AnUpgradeThatEndsAtOnceStillShowsItsCompletionPage) {
  Show(IDD_UPGRADE);
  ASSERT_TRUE(WaitUntil([&] { return upgrade_.Started(); }));
  upgrade_.SendDone();
  ASSERT_TRUE(wizard_.WaitForPage(IDD_UPGRADE_COMPLETION));
  EXPECT_TRUE(wizard_.WaitForButtons(false, false, true));
  EXPECT_EQ(wizard_.Text(IDC_TITLE), L"Tolvane翻译服务器安装向导完成");
  // Cancel on a completion page closes without a question.
  ASSERT_TRUE(wizard_.Press(WizardButton::Cancel));
  EXPECT_TRUE(modal_->WaitClosed());
  EXPECT_TRUE(NoBoxOpen());
}

TEST_F(PagesTest, AnUpgradeWhoseWorkerDidNotStartCanBeCancelled) {
  upgrade_.RefuseStart();
  Show(IDD_UPGRADE);
  ASSERT_TRUE(wizard_.Press(WizardButton::Cancel));
  EXPECT_TRUE(modal_->WaitClosed());
}

}  // namespace
}  // namespace tolvane::test
