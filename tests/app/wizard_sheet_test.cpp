// The sheet framework and the wizard's sheet, run in this process: a modal sheet on its
// own thread, driven from the test thread through its windows.
#include <windows.h>
#include <commctrl.h>
#include <prsht.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <functional>
#include <map>
#include <thread>
#include <vector>

#include "app/wizard_application.h"
#include "app/wizard_sheet.h"
#include "resources/resource_ids.h"
#include "tests/support/screenshot.h"
#include "tests/app/fake_worker.h"
#include "tests/app/modal_thread.h"
#include "tests/support/wizard_driver.h"

namespace {

using tolvane::test::ModalThread;
using tolvane::test::PumpUntil;
using tolvane::drive::Wizard;
using tolvane::drive::WizardButton;
using tolvane::drive::WaitUntil;

constexpr UINT kPressNextFromPage = WM_APP + 1;

// The licence template holds a rich-edit control, as in the program.
const tolvane::UniqueModule g_richEdit(LoadLibraryW(L"RICHED20.DLL"));

// A page whose answers the test sets.
class TestPage : public CWizard97InteriorPageImpl {
 public:
  explicit TestPage(int templateId) : CWizard97InteriorPageImpl(templateId, L"标题", L"副标题") {}

  std::atomic<LRESULT> nextAnswer{0};  // a WizardNext value: -1 stay, 0 advance, or a template id
  std::atomic<bool> allowCancel{true};
  std::atomic<DWORD> buttons{PSWIZB_BACK | PSWIZB_NEXT};
  std::atomic<int> activations{0};
  std::atomic<int> cancelQuestions{0};

 protected:
  void OnSetActive() override {
    ++activations;
    SetWizardButtons(buttons);
  }
  WizardNext OnWizardNext() override {
    const LRESULT answer = nextAnswer;
    return answer < 0 ? WizardNext::Stay() : answer == 0 ? WizardNext::Advance() : WizardNext::JumpTo(static_cast<int>(answer));
  }
  bool OnQueryCancel() override {
    ++cancelQuestions;
    return allowCancel;
  }
  bool OnMessage(UINT message, WPARAM, LPARAM, LRESULT* result) override {
    if (message != kPressNextFromPage) return false;
    PressButton(PSBTN_NEXT);
    *result = 0;
    return true;
  }
};

// Four interior pages on the templates 207-210.
class FrameworkTest : public ::testing::Test {
 protected:
  void Show() {
    for (TestPage& page : pages_) ASSERT_TRUE(sheet_.AddPage(page));
    modal_ = std::make_unique<ModalThread>([this] { sheet_.DoModal(nullptr); });
    wizard_ = modal_->WaitForSheet();
    ASSERT_TRUE(wizard_);
    ASSERT_TRUE(wizard_.WaitForPage(207));
  }
  void TearDown() override {
    for (TestPage& page : pages_) page.allowCancel = true;
  }
  bool PressAndWaitForPage(WizardButton button, int templateId) {
    return PumpUntil([&] { return wizard_.IsButtonEnabled(button); }) && wizard_.Press(button) &&
           wizard_.WaitForPage(templateId);
  }

  TestPage pages_[4] = {TestPage(207), TestPage(208), TestPage(209), TestPage(210)};
  CWizardSheet sheet_;
  std::unique_ptr<ModalThread> modal_;
  Wizard wizard_;
};

TEST_F(FrameworkTest, NextStaysAdvancesOrJumpsByTemplateAndBackGoesToThePreviousPage) {
  Show();
  ASSERT_TRUE(PressAndWaitForPage(WizardButton::Next, 208));

  pages_[1].nextAnswer = -1;  // stay
  const int before = pages_[1].activations;
  ASSERT_TRUE(wizard_.Press(WizardButton::Next));
  // Once a posted button request has come through, the Next press before it has too.
  PostMessageW(wizard_.Sheet(), PSM_SETWIZBUTTONS, 0, PSWIZB_NEXT);
  ASSERT_TRUE(wizard_.WaitForButtons(false, true, false));
  EXPECT_EQ(wizard_.ActiveTemplate(), 208);
  EXPECT_EQ(pages_[1].activations, before);

  pages_[1].nextAnswer = 210;  // jump over 209
  ASSERT_TRUE(PressAndWaitForPage(WizardButton::Next, 210));
  EXPECT_EQ(pages_[2].activations, 0);

  ASSERT_TRUE(PressAndWaitForPage(WizardButton::Back, 209));
  EXPECT_EQ(pages_[2].activations, 1);
}

TEST_F(FrameworkTest, ButtonsFollowThePagesRequest) {
  pages_[1].buttons = PSWIZB_NEXT;
  pages_[2].buttons = 0;
  Show();
  EXPECT_TRUE(wizard_.WaitForButtons(true, true, false));
  ASSERT_TRUE(PressAndWaitForPage(WizardButton::Next, 208));
  EXPECT_TRUE(wizard_.WaitForButtons(false, true, false));
  ASSERT_TRUE(PressAndWaitForPage(WizardButton::Next, 209));
  EXPECT_TRUE(wizard_.WaitForButtons(false, false, false));
  EXPECT_TRUE(wizard_.IsButtonEnabled(WizardButton::Cancel));
}

TEST_F(FrameworkTest, APageCanPressNextItself) {
  pages_[0].buttons = 0;  // no buttons for the user; the page moves on by itself
  Show();
  ASSERT_TRUE(wizard_.WaitForButtons(false, false, false));
  ASSERT_TRUE(PostMessageW(wizard_.ActivePage(), kPressNextFromPage, 0, 0));
  EXPECT_TRUE(wizard_.WaitForPage(208));
}

TEST_F(FrameworkTest, CancelAsksTheActivePage) {
  pages_[0].allowCancel = false;
  Show();
  ASSERT_TRUE(wizard_.Press(WizardButton::Cancel));
  ASSERT_TRUE(PumpUntil([&] { return pages_[0].cancelQuestions == 1; }));
  EXPECT_FALSE(modal_->Closed());
  EXPECT_EQ(wizard_.ActiveTemplate(), 207);
  EXPECT_EQ(pages_[1].cancelQuestions, 0);

  pages_[0].allowCancel = true;
  ASSERT_TRUE(wizard_.Press(WizardButton::Cancel));
  EXPECT_TRUE(modal_->WaitClosed());
  EXPECT_EQ(pages_[0].cancelQuestions, 2);
}

TEST_F(FrameworkTest, HelpRequestsAreSwallowed) {
  Show();
  HELPINFO help = {};
  help.cbSize = sizeof(help);
  help.iContextType = HELPINFO_WINDOW;
  help.hItemHandle = wizard_.Sheet();
  EXPECT_EQ(SendMessageW(wizard_.Sheet(), WM_HELP, 0, reinterpret_cast<LPARAM>(&help)), TRUE);

  // The Help button sends the page PSN_HELP, which it ignores.
  if (wizard_.IsButtonEnabled(WizardButton::Help)) {
    ASSERT_TRUE(wizard_.Press(WizardButton::Help));
    PostMessageW(wizard_.Sheet(), PSM_SETWIZBUTTONS, 0, PSWIZB_NEXT);
    ASSERT_TRUE(wizard_.WaitForButtons(false, true, false));
  }
  EXPECT_EQ(wizard_.ActiveTemplate(), 207);
  EXPECT_FALSE(modal_->Closed());
  EXPECT_EQ(tolvane::drive::TopLevelWindows(GetCurrentProcessId()).size(), 1u);
}

// A visible owner: the sheet is centred over it, and kept inside the work area.
class OwnerTest : public ::testing::Test {
 protected:
  HWND MakeOwner(int x, int y, int width, int height) {
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = DefWindowProcW;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"TolvaneTestOwner";
    RegisterClassW(&windowClass);
    owner_ = CreateWindowExW(0, L"TolvaneTestOwner", L"owner", WS_POPUP | WS_VISIBLE, x, y, width, height, nullptr,
                             nullptr, GetModuleHandleW(nullptr), nullptr);
    return owner_;
  }
  void TearDown() override {
    if (modal_ && !modal_->Closed()) {
      PostMessageW(modal_->Sheet(), PSM_PRESSBUTTON, PSBTN_CANCEL, 0);
      modal_->WaitClosed();
    }
    modal_.reset();
    if (owner_) DestroyWindow(owner_);
  }
  RECT ShowOver(HWND owner) {
    page_ = std::make_unique<TestPage>(207);
    sheet_.AddPage(*page_);
    modal_ = std::make_unique<ModalThread>([this, owner] { sheet_.DoModal(owner); });
    Wizard wizard = modal_->WaitForSheet();
    RECT rect = {};
    if (wizard) GetWindowRect(wizard.Sheet(), &rect);
    return rect;
  }
  static RECT WorkArea(HWND window) {
    MONITORINFO monitor = {};
    monitor.cbSize = sizeof(monitor);
    GetMonitorInfoW(MonitorFromWindow(window, MONITOR_DEFAULTTONEAREST), &monitor);
    return monitor.rcWork;
  }

  HWND owner_ = nullptr;
  std::unique_ptr<TestPage> page_;
  CWizardSheet sheet_;
  std::unique_ptr<ModalThread> modal_;
};

TEST_F(OwnerTest, CentredOverAVisibleOwner) {
  const RECT work = WorkArea(nullptr);
  const int width = (work.right - work.left) * 3 / 4, height = (work.bottom - work.top) * 3 / 4;
  HWND owner = MakeOwner(work.right - width, work.bottom - height, width, height);
  const RECT sheet = ShowOver(owner);
  ASSERT_GT(sheet.right, sheet.left);
  RECT area;
  GetWindowRect(owner, &area);
  EXPECT_LE(std::abs((sheet.left + sheet.right) - (area.left + area.right)), 2);
  EXPECT_LE(std::abs((sheet.top + sheet.bottom) - (area.top + area.bottom)), 2);
  EXPECT_EQ(GetWindow(modal_->Sheet(), GW_OWNER), owner);
}

TEST_F(OwnerTest, KeptInsideTheWorkAreaNearItsEdge) {
  const RECT work = WorkArea(nullptr);
  HWND owner = MakeOwner(work.right - 60, work.bottom - 40, 300, 200);  // mostly off the screen
  const RECT sheet = ShowOver(owner);
  ASSERT_GT(sheet.right, sheet.left);
  EXPECT_EQ(sheet.right, work.right);
  EXPECT_EQ(sheet.bottom, work.bottom);
}

TEST_F(OwnerTest, CentredInTheWorkAreaWhenTheOwnerIsHidden) {
  HWND owner = MakeOwner(0, 0, 200, 150);
  ShowWindow(owner, SW_HIDE);
  const RECT sheet = ShowOver(owner);
  ASSERT_GT(sheet.right, sheet.left);
  const RECT work = WorkArea(modal_->Sheet());
  EXPECT_LE(std::abs((sheet.left - work.left) - (work.right - sheet.right)), 2);
  EXPECT_LE(std::abs((sheet.top - work.top) - (work.bottom - sheet.bottom)), 2);
}

LOGFONTW FontOf(HFONT font) {
  LOGFONTW logFont = {};
  GetObjectW(font, sizeof(logFont), &logFont);
  return logFont;
}

int PointsToPixels(int points) {
  HDC screen = GetDC(nullptr);
  const int pixels = -MulDiv(points, GetDeviceCaps(screen, LOGPIXELSY), 72);
  ReleaseDC(nullptr, screen);
  return pixels;
}

// The whole wizard: every page, its template's controls and the sheet's fonts.
class WizardApplicationTest : public ::testing::Test {
 protected:
  void TearDown() override {
    if (modal_ && !modal_->Closed()) {
      PostMessageW(modal_->Sheet(), PSM_PRESSBUTTON, PSBTN_CANCEL, 0);
      modal_->WaitClosed();
    }
    modal_.reset();
  }
  // The wizard's pages; the progress pages get no worker, so visiting them starts nothing.
  tolvane::test::PageSet pages_;
  CWizardSheet allPages_;
  CWizardSheet sheet_;
  CWelcomePage welcome_;
  std::unique_ptr<ModalThread> modal_;  // last: closed before the pages go
};

TEST_F(WizardApplicationTest, EveryPageShowsTheControlsOfItsTemplate) {
  const std::map<int, std::vector<int>> controls = {
      {IDD_WELCOME, {IDC_TITLE}},
      {IDD_SETUP_TYPE, {IDC_UPGRADE, IDC_REINSTALL, IDC_UNINSTALL}},
      {IDD_LICENSE, {IDC_LICENSE_TEXT, IDC_ACCEPT, IDC_DECLINE}},
      {IDD_USER_INFO, {IDC_USER_NAME, IDC_COMPANY}},
      {IDD_SELECT_FOLDER, {IDC_FOLDER, IDC_BROWSE}},
      {IDD_PROGRESS, {IDC_PROGRESS}},
      {IDD_COMPLETION, {IDC_TITLE}},
      {IDD_UNINSTALL, {IDC_PROGRESS}},
      {IDD_UNINSTALL_COMPLETION, {IDC_TITLE}},
      {IDD_UPGRADE, {IDC_PROGRESS}},
      {IDD_UPGRADE_COMPLETION, {IDC_TITLE}},
  };
  ASSERT_TRUE(pages_.AddTo(allPages_));
  modal_ = std::make_unique<ModalThread>([this] { allPages_.DoModal(nullptr); });
  Wizard wizard = modal_->WaitForSheet();
  ASSERT_TRUE(wizard);
  ASSERT_EQ(wizard.PageCount(), 11);

  wchar_t shotDir[MAX_PATH] = {};
  const DWORD n = GetEnvironmentVariableW(L"TOLVANE_SHOT_DIR", shotDir, MAX_PATH);
  const std::wstring folder = n > 0 && n < MAX_PATH ? tolvane::drive::WindowsPath(shotDir) : std::wstring();

  tolvane::drive::Image watermark;
  for (const auto& [templateId, ids] : controls) {
    SendMessageW(wizard.Sheet(), PSM_SETCURSELID, 0, templateId);
    ASSERT_TRUE(wizard.WaitForPage(templateId));
    HWND page = wizard.ActivePage();
    wchar_t caption[64] = {};
    GetWindowTextW(page, caption, 64);
    EXPECT_STREQ(caption, L"Tolvane翻译服务器安装向导") << templateId;
    for (int id : ids) EXPECT_NE(GetDlgItem(page, id), nullptr) << "template " << templateId << " control " << id;
    if (ids.front() == IDC_TITLE) {
      // Exterior pages show their title in the sheet's title font.
      const LOGFONTW font = FontOf(reinterpret_cast<HFONT>(SendDlgItemMessageW(page, IDC_TITLE, WM_GETFONT, 0, 0)));
      EXPECT_STREQ(font.lfFaceName, L"Verdana Bold") << templateId;
    }
    tolvane::drive::PaintNow(GetCurrentProcessId());
    const tolvane::drive::Image screen = tolvane::drive::CaptureSettledScreen();
    if (!folder.empty()) tolvane::drive::SavePng(screen, folder + L"\\page-" + std::to_wstring(templateId) + L".png");
    if (ids.front() == IDC_TITLE) {
      // Every exterior page shows the same watermark column as the first one, also when
      // it follows interior pages with their header band.
      RECT area;
      GetWindowRect(page, &area);
      area.right = area.left + (area.right - area.left) / 4;
      const tolvane::drive::Image column = screen.Crop(area);
      if (templateId == IDD_WELCOME) {
        watermark = column;
      } else {
        EXPECT_TRUE(column.rgb == watermark.rgb) << "template " << templateId << " shows a different watermark";
      }
    }
  }
  wchar_t className[32] = {};
  SendMessageW(wizard.Sheet(), PSM_SETCURSELID, 0, IDD_LICENSE);
  ASSERT_TRUE(wizard.WaitForPage(IDD_LICENSE));
  GetClassNameW(wizard.Control(IDC_LICENSE_TEXT), className, 32);
  EXPECT_EQ(_wcsicmp(className, L"RichEdit20W"), 0);
}

TEST_F(WizardApplicationTest, TitleAndBulletFontsAreMadeFromTheDialogFont) {
  ASSERT_TRUE(sheet_.AddPage(welcome_));
  modal_ = std::make_unique<ModalThread>([this] { sheet_.DoModal(nullptr); });
  Wizard wizard = modal_->WaitForSheet();
  ASSERT_TRUE(wizard);
  ASSERT_TRUE(wizard.WaitForPage(IDD_WELCOME));

  const LOGFONTW dialog = FontOf(reinterpret_cast<HFONT>(SendMessageW(wizard.Sheet(), WM_GETFONT, 0, 0)));
  const LOGFONTW title = FontOf(reinterpret_cast<HFONT>(SendMessageW(wizard.Control(IDC_TITLE), WM_GETFONT, 0, 0)));
  EXPECT_STREQ(title.lfFaceName, L"Verdana Bold");
  EXPECT_EQ(title.lfWeight, FW_BOLD);
  EXPECT_EQ(title.lfCharSet, GB2312_CHARSET);  // Chinese titles have glyphs on every system
  EXPECT_EQ(title.lfHeight, PointsToPixels(12));
  EXPECT_EQ(title.lfItalic, dialog.lfItalic);
  EXPECT_EQ(title.lfQuality, dialog.lfQuality);
  EXPECT_EQ(title.lfPitchAndFamily, dialog.lfPitchAndFamily);

  const LOGFONTW bullet = FontOf(sheet_.BulletFont());
  EXPECT_STREQ(bullet.lfFaceName, L"Marlett");
  EXPECT_EQ(bullet.lfWeight, FW_NORMAL);
  EXPECT_EQ(bullet.lfCharSet, DEFAULT_CHARSET);
  EXPECT_EQ(bullet.lfHeight, PointsToPixels(8));
}

}  // namespace
