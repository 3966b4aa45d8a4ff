// setup.exe started as a user starts it: the sheet that appears, its pages, its help and
// cancel behaviour, where it is placed, and what the welcome page looks like.
#include <windows.h>
#include <commctrl.h>
#include <prsht.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <set>

#include "resources/resource_ids.h"
#include "tests/e2e/e2e_env.h"
#include "tests/support/screenshot.h"
#include "tests/support/wizard_driver.h"

namespace tolvane::drive {
namespace {

class WizardStart : public ::testing::Test {
 protected:
  void StartSetup() {
    std::wstring error;
    ASSERT_TRUE(setup_.Start(SetupExe(), &error)) << Narrow(error);
    wizard_ = Wizard::Find(setup_.Id());
    ASSERT_TRUE(wizard_) << "no wizard window appeared";
    ASSERT_TRUE(wizard_.WaitForPage(IDD_WELCOME));
  }

  SetupProcess setup_;
  Wizard wizard_;
};

TEST_F(WizardStart, ShowsTheWelcomePageWithTheWizardCaption) {
  StartSetup();
  const std::wstring title = wizard_.Title();
  EXPECT_TRUE(title == kPageCaption || title == kSheetCaption) << Narrow(title);
  EXPECT_EQ(ClassName(wizard_.Sheet()), L"#32770");
  EXPECT_EQ(wizard_.Text(IDC_TITLE), L"欢迎使用Tolvane翻译服务器安装向导");
  // The welcome page offers Next only; Cancel is always there.
  EXPECT_TRUE(wizard_.WaitForButtons(false, true, false));
  EXPECT_TRUE(wizard_.IsButtonEnabled(WizardButton::Cancel));
}

TEST_F(WizardStart, HoldsElevenPagesInTemplateOrder) {
  StartSetup();
  ASSERT_EQ(wizard_.PageCount(), 11);
  for (int index = 0; index < 11; ++index) {
    EXPECT_EQ(wizard_.TemplateAt(index), IDD_WELCOME + index) << "page " << index;
  }
  EXPECT_EQ(wizard_.TemplateAt(11), 0);
}

// F1 reaches the sheet as a help request; the wizard shows nothing and stays where it was.
TEST_F(WizardStart, HelpKeyDoesNothing) {
  StartSetup();
  const std::vector<HWND> before = TopLevelWindows(setup_.Id());
  const DWORD thread = GetWindowThreadProcessId(wizard_.Sheet(), nullptr);
  GUITHREADINFO gui = {};
  gui.cbSize = sizeof(gui);
  ASSERT_TRUE(WaitUntil([&] { return GetGUIThreadInfo(thread, &gui) && gui.hwndFocus; }));
  HWND focus = gui.hwndFocus;

  // What the system posts to the focused window when F1 is pressed; the window's default
  // handling turns it into WM_HELP, which goes up to the sheet.
  constexpr UINT kKeyF1 = 0x004D;  // WM_KEYF1
  ASSERT_TRUE(PostMessageW(focus, kKeyF1, 0, 0));
  // A message posted after it is handled after it: once that has happened, F1 has too.
  ASSERT_TRUE(PostMessageW(wizard_.Sheet(), PSM_SETWIZBUTTONS, 0, PSWIZB_BACK | PSWIZB_NEXT));
  ASSERT_TRUE(wizard_.WaitForButtons(true, true, false));

  EXPECT_EQ(wizard_.ActiveTemplate(), IDD_WELCOME);
  const std::vector<HWND> after = TopLevelWindows(setup_.Id());
  EXPECT_EQ(std::set<HWND>(after.begin(), after.end()), std::set<HWND>(before.begin(), before.end()));
  EXPECT_TRUE(setup_.IsRunning());

  // The Help button, offered because the pages have help, does nothing either.
  if (wizard_.IsButtonEnabled(WizardButton::Help)) {
    ASSERT_TRUE(wizard_.Press(WizardButton::Help));
    ASSERT_TRUE(PostMessageW(wizard_.Sheet(), PSM_SETWIZBUTTONS, 0, PSWIZB_NEXT));
    ASSERT_TRUE(wizard_.WaitForButtons(false, true, false));
    EXPECT_EQ(wizard_.ActiveTemplate(), IDD_WELCOME);
    const std::vector<HWND> later = TopLevelWindows(setup_.Id());
    EXPECT_EQ(std::set<HWND>(later.begin(), later.end()), std::set<HWND>(before.begin(), before.end()));
  }
}

TEST_F(WizardStart, CancelOnTheWelcomePageEndsTheProgramWithExitCodeZero) {
  StartSetup();
  ASSERT_TRUE(WaitUntil([&] { return wizard_.IsButtonEnabled(WizardButton::Cancel); }));
  ASSERT_TRUE(wizard_.Press(WizardButton::Cancel));
  DWORD code = 1234;
  ASSERT_TRUE(setup_.WaitForExit(kDefaultTimeoutMs, &code)) << "the wizard did not close";
  EXPECT_EQ(code, 0u);
  // No question was asked on the way out.
  EXPECT_FALSE(MessageBoxWindow::Find(setup_.Id(), kMessageCaption, 0));
}

// A window of this test program is active when setup starts: the sheet must not take it
// as its owner, and it is centred in the work area rather than over that window.
TEST_F(WizardStart, StartedOverAnotherActiveWindowHasNoOwnerAndSitsInTheWorkArea) {
  OtherProgramWindow other;
  ASSERT_TRUE(other.Activate()) << "could not make the test's own window active";

  StartSetup();
  HWND sheet = wizard_.Sheet();
  EXPECT_EQ(GetWindow(sheet, GW_OWNER), nullptr);
  EXPECT_EQ(GetParent(sheet), nullptr);

  MONITORINFO monitor = {};
  monitor.cbSize = sizeof(monitor);
  ASSERT_TRUE(GetMonitorInfoW(MonitorFromWindow(sheet, MONITOR_DEFAULTTONEAREST), &monitor));
  const RECT work = monitor.rcWork;
  RECT rect = {};
  // The sheet is centred once, as it appears; wait for its final place.
  ASSERT_TRUE(WaitUntil([&] {
    GetWindowRect(sheet, &rect);
    return rect.left >= work.left && rect.top >= work.top && rect.right <= work.right && rect.bottom <= work.bottom;
  })) << "sheet " << rect.left << "," << rect.top << "-" << rect.right << "," << rect.bottom;
  const int dx = (rect.left - work.left) - (work.right - rect.right);
  const int dy = (rect.top - work.top) - (work.bottom - rect.bottom);
  EXPECT_LE(std::abs(dx), 2) << "not centred horizontally";
  EXPECT_LE(std::abs(dy), 2) << "not centred vertically";
}

// The welcome page as the user sees it: Chinese texts drawn with glyphs (kept as a
// screenshot in the build folder) and the title in a larger bold font than the body.
TEST_F(WizardStart, WelcomePageShowsItsTextsAndTheLargerTitle) {
  StartSetup();
  PaintNow(setup_.Id());
  const Image screen = CaptureSettledScreen();
  ASSERT_GT(screen.width, 0);
  const std::wstring file = ShotDir() + L"\\welcome.png";
  EXPECT_TRUE(SavePng(screen, file)) << Narrow(file);

  HWND page = wizard_.ActivePage();
  HWND title = GetDlgItem(page, IDC_TITLE);
  HWND body = nullptr;  // the other static text of the page
  for (HWND child = GetWindow(page, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
    if (child != title) body = child;
  }
  ASSERT_TRUE(title && body);
  RECT titleRect, bodyRect;
  GetWindowRect(title, &titleRect);
  GetWindowRect(body, &bodyRect);
  const Image titleImage = screen.Crop(titleRect);
  const Image bodyImage = screen.Crop(bodyRect);
  EXPECT_GT(InkPixels(titleImage), 200u) << "the title is blank";
  EXPECT_GT(InkPixels(bodyImage), 200u) << "the body text is blank";
  // The body wraps to two lines; one line of the title is still taller than one of its lines.
  const int bodyLine = InkHeight(bodyImage.Crop(RECT{0, 0, bodyImage.width, bodyImage.height / 2}));
  EXPECT_GT(InkHeight(titleImage), bodyLine + bodyLine / 4)
      << "title " << InkHeight(titleImage) << " px, body line " << bodyLine << " px";
}

}  // namespace
}  // namespace tolvane::drive
