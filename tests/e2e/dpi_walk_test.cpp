// Every page of the wizard at the DPI the prefix was made with (TOLVANE_DPI: the
// LogPixels of HKCU\Control Panel\Desktop, set before anything started; see
// dpi_walk.sh): an install held on its progress page, an upgrade, and an uninstall held
// on its page. Each page is photographed and checked: every control lies inside its
// page, no two controls overlap, and each control's text fits it in the font the page
// draws it with. The welcome page's watermark must reach as far down as the one drawn
// for this DPI.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "resources/resource_ids.h"
#include "tests/e2e/e2e_env.h"
#include "tests/e2e/gate_events.h"
#include "tests/e2e/install_gate.h"
#include "tests/e2e/install_walk.h"
#include "tests/e2e/uninstall_gate.h"
#include "tests/support/screenshot.h"
#include "tests/support/wizard_driver.h"

namespace tolvane::drive {
namespace {

using namespace steps;

int Dpi() { return std::stoi(Environment(L"TOLVANE_DPI").empty() ? L"96" : Environment(L"TOLVANE_DPI")); }

std::string Describe(HWND control) {
  return Narrow(ClassName(control) + L" " + std::to_wstring(GetDlgCtrlID(control)) + L" \"" + WindowText(control) +
                L"\"");
}

RECT ScreenRect(HWND window) {
  RECT r;
  GetWindowRect(window, &r);
  return r;
}

RECT ClientOnScreen(HWND window) {
  RECT r;
  GetClientRect(window, &r);
  MapWindowPoints(window, nullptr, reinterpret_cast<POINT*>(&r), 2);
  return r;
}

bool Inside(const RECT& inner, const RECT& outer) {
  return inner.left >= outer.left && inner.top >= outer.top && inner.right <= outer.right && inner.bottom <= outer.bottom;
}

std::vector<HWND> VisibleChildren(HWND parent, bool dialogsToo) {
  std::vector<HWND> children;
  for (HWND child = GetWindow(parent, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
    if (!IsWindowVisible(child)) continue;
    if (!dialogsToo && ClassName(child) == L"#32770") continue;
    children.push_back(child);
  }
  return children;
}

// The fonts the pages draw with: the dialog font, and the sheet's title font on
// control 1000 of the exterior pages, both at this DPI.
class PageFonts {
 public:
  explicit PageFonts(int dpi)
      : dc_(CreateCompatibleDC(nullptr)),
        dialog_(Make(L"MS Shell Dlg 2", FW_NORMAL, 8, dpi)),
        title_(Make(L"Verdana Bold", FW_BOLD, 12, dpi)) {}
  // The size `text` takes, wrapped to `width` when it is not zero.
  SIZE Measure(const std::wstring& text, bool title, LONG width) const {
    HGDIOBJ old = SelectObject(dc_.get(), title ? title_.get() : dialog_.get());
    RECT r = {0, 0, width ? width : 10000, 0};
    DrawTextW(dc_.get(), text.c_str(), static_cast<int>(text.size()), &r,
              DT_CALCRECT | DT_EXPANDTABS | (width ? DT_WORDBREAK : DT_SINGLELINE));
    SelectObject(dc_.get(), old);
    return {r.right - r.left, r.bottom - r.top};
  }

 private:
  static HGDIOBJ Make(const wchar_t* face, LONG weight, int points, int dpi) {
    LOGFONTW font = {};
    font.lfHeight = -MulDiv(points, dpi, 72);
    font.lfWeight = weight;
    font.lfCharSet = DEFAULT_CHARSET;
    wcsncpy(font.lfFaceName, face, LF_FACESIZE - 1);
    return CreateFontIndirectW(&font);
  }
  UniqueMemoryDc dc_;
  UniqueGdiObject dialog_;
  UniqueGdiObject title_;
};

// Controls that the templates place edge to edge (the folder box and its browse button)
// may share one pixel column once dialog units are rounded to pixels.
void ExpectNoOverlap(const std::vector<HWND>& controls, const std::string& where) {
  for (size_t i = 0; i < controls.size(); ++i)
    for (size_t j = i + 1; j < controls.size(); ++j) {
      RECT a = ScreenRect(controls[i]), b = ScreenRect(controls[j]), both;
      const bool overlap = IntersectRect(&both, &a, &b) && both.right - both.left > 1 && both.bottom - both.top > 1;
      EXPECT_FALSE(overlap) << where << ": " << Describe(controls[i]) << " overlaps " << Describe(controls[j]);
    }
}

// The active page and the sheet's buttons, checked and photographed as `name`.
void CheckPage(const SetupProcess& setup, const Wizard& wizard, const std::wstring& name) {
  const int dpi = Dpi();
  const std::string where = Narrow(name) + " at " + std::to_string(dpi) + " DPI";
  Shot(setup, name);
  const Image picture = CaptureSettledScreen();
  const HWND page = wizard.ActivePage();
  ASSERT_TRUE(page) << where;
  const RECT pageArea = ClientOnScreen(page);
  const std::vector<HWND> controls = VisibleChildren(page, true);
  ASSERT_FALSE(controls.empty()) << where;
  const PageFonts fonts(dpi);
  const LONG check = MulDiv(16, dpi, 96);  // a radio button's circle and the gap after it

  for (HWND control : controls) {
    const RECT r = ScreenRect(control);
    EXPECT_TRUE(Inside(r, pageArea)) << where << ": " << Describe(control) << " is clipped by its page";
    const std::wstring kind = ClassName(control), text = WindowText(control);
    RECT client;
    GetClientRect(control, &client);
    const LONG style = GetWindowLongW(control, GWL_STYLE);
    if (kind == L"Static" && !text.empty()) {
      // The lines' boxes may pass the bottom by their leading: then the picture decides,
      // and no glyph may reach the control's last row of pixels.
      const SIZE need = fonts.Measure(text, GetDlgCtrlID(control) == IDC_TITLE, client.right);
      if (need.cy > client.bottom) {
        const RECT lastRow = {r.left, r.bottom - 1, r.right, r.bottom};
        EXPECT_EQ(InkPixels(picture.Crop(lastRow)), 0u)
            << where << ": the text of " << Describe(control) << " is cut off (" << need.cy << " of "
            << client.bottom << " pixels)";
      }
    } else if (kind == L"Button" && !text.empty()) {
      const bool radio = (style & BS_TYPEMASK) == BS_AUTORADIOBUTTON || (style & BS_TYPEMASK) == BS_RADIOBUTTON;
      const SIZE need = fonts.Measure(text, false, 0);
      EXPECT_LE(need.cx + (radio ? check : 0), client.right) << where << ": the text of " << Describe(control) << " is cut off";
      EXPECT_LE(need.cy, client.bottom) << where << ": the text of " << Describe(control) << " is cut off";
    } else if (kind == L"Edit") {
      EXPECT_LE(fonts.Measure(L"安装Ag", false, 0).cy, client.bottom) << where << ": " << Describe(control) << " is too low";
    }
  }
  ExpectNoOverlap(controls, where);

  // The sheet's own buttons: inside the sheet, apart from each other and from the page.
  std::vector<HWND> buttons = VisibleChildren(wizard.Sheet(), false);
  const RECT sheetArea = ClientOnScreen(wizard.Sheet());
  for (HWND button : buttons)
    EXPECT_TRUE(Inside(ScreenRect(button), sheetArea)) << where << ": " << Describe(button) << " is clipped by the sheet";
  std::vector<HWND> pushButtons;
  for (HWND button : buttons)
    if (ClassName(button) == L"Button") pushButtons.push_back(button);
  ExpectNoOverlap(pushButtons, where);
  for (HWND button : pushButtons) {
    RECT a = ScreenRect(button), b = ScreenRect(page), both;
    EXPECT_FALSE(IntersectRect(&both, &a, &b)) << where << ": " << Describe(button) << " overlaps the page";
  }
}

// The watermark of the welcome page reaches the bottom of the bitmap drawn for this DPI:
// the last rows of that bitmap are the teal end of its gradient, while the colour the
// sheet fills a shorter bitmap's remainder with is the dark blue of its first row.
void ExpectWatermarkForDpi(const Wizard& wizard) {
  const int dpi = Dpi();
  const int height = (314 * dpi + 48) / 96;
  const RECT area = ClientOnScreen(wizard.Sheet());
  const Image screen = CaptureSettledScreen();
  ASSERT_GT(screen.height, area.top + height);
  int teal = 0;
  for (int x = area.left + 2; x < area.left + 12; ++x) {
    const uint32_t pixel = screen.Pixel(x, area.top + height - 3);
    if (((pixel >> 8) & 0xFF) > 100) ++teal;  // the gradient's end is green 128, its start 52
  }
  EXPECT_GT(teal, 5) << "the watermark at " << dpi << " DPI does not reach down " << height << " pixels";
}

class DpiWalk : public ::testing::Test {
 protected:
  SetupProcess setup_;
  Wizard wizard_;
};

TEST_F(DpiWalk, EveryPageIsLaidOutForTheDpi) {
  // Install, held half-way on its progress page.
  {
    TestGate gate(kGateReached, kGateOpen);
    ASSERT_TRUE(gate.Valid());
    Start(setup_, wizard_, SetupExe());
    ExpectWatermarkForDpi(wizard_);
    CheckPage(setup_, wizard_, L"welcome");
    ASSERT_TRUE(PressWhenEnabled(wizard_, WizardButton::Next));
    ASSERT_TRUE(wizard_.WaitForPage(IDD_LICENSE));
    CheckPage(setup_, wizard_, L"license");
    ASSERT_TRUE(wizard_.Choose(IDC_ACCEPT));
    ASSERT_TRUE(PressWhenEnabled(wizard_, WizardButton::Next));
    ASSERT_TRUE(wizard_.WaitForPage(IDD_USER_INFO));
    ASSERT_TRUE(wizard_.Type(IDC_USER_NAME, L"张三"));
    ASSERT_TRUE(wizard_.Type(IDC_COMPANY, L"某某公司"));
    CheckPage(setup_, wizard_, L"user-info");
    ASSERT_TRUE(PressWhenEnabled(wizard_, WizardButton::Next));
    ASSERT_TRUE(wizard_.WaitForPage(IDD_SELECT_FOLDER));
    CheckPage(setup_, wizard_, L"select-folder");
    ASSERT_TRUE(PressWhenEnabled(wizard_, WizardButton::Next));
    ASSERT_TRUE(gate.WaitReached()) << "the install did not reach its gate";
    ASSERT_TRUE(wizard_.WaitForPage(IDD_PROGRESS));
    CheckPage(setup_, wizard_, L"progress");
    gate.Open();
    ASSERT_TRUE(wizard_.WaitForPage(IDD_COMPLETION, 60000));
    CheckPage(setup_, wizard_, L"completion");
    FinishInstall(setup_, wizard_);
  }

  // Upgrade: the setup type, then (the upgrade page passes too quickly to be held; it
  // shares the progress page's template) its completion.
  const std::wstring gated = EnvironmentPath(L"TOLVANE_UNINSTALL_GATED_SETUP_EXE");
  Start(setup_, wizard_, gated);
  ASSERT_TRUE(PressWhenEnabled(wizard_, WizardButton::Next));
  ASSERT_TRUE(wizard_.WaitForPage(IDD_SETUP_TYPE));
  CheckPage(setup_, wizard_, L"setup-type");
  ASSERT_TRUE(PressWhenEnabled(wizard_, WizardButton::Next));
  ASSERT_TRUE(wizard_.WaitForPage(IDD_UPGRADE_COMPLETION, 60000));
  CheckPage(setup_, wizard_, L"upgrade-completion");
  ASSERT_TRUE(wizard_.WaitForButtons(false, false, true));
  ASSERT_TRUE(wizard_.Press(WizardButton::Finish));
  DWORD code = 1234;
  ASSERT_TRUE(setup_.WaitForExit(kDefaultTimeoutMs, &code));

  // Uninstall, held on its page.
  TestGate gate(kUninstallGateReached, kUninstallGateOpen);
  ASSERT_TRUE(gate.Valid());
  Start(setup_, wizard_, gated);
  ASSERT_TRUE(PressWhenEnabled(wizard_, WizardButton::Next));
  ASSERT_TRUE(wizard_.WaitForPage(IDD_SETUP_TYPE));
  ASSERT_TRUE(wizard_.Choose(IDC_UNINSTALL));
  ASSERT_TRUE(wizard_.Press(WizardButton::Next));
  MessageBoxWindow box = WaitForBox(setup_, kUninstallQuestion);
  ASSERT_TRUE(box);
  ASSERT_TRUE(box.Press(IDYES));
  ASSERT_TRUE(gate.WaitReached()) << "the uninstall did not reach its gate";
  ASSERT_TRUE(wizard_.WaitForPage(IDD_UNINSTALL));
  CheckPage(setup_, wizard_, L"uninstall");
  gate.Open();
  ASSERT_TRUE(wizard_.WaitForPage(IDD_UNINSTALL_COMPLETION, 60000));
  CheckPage(setup_, wizard_, L"uninstall-completion");
  ASSERT_TRUE(wizard_.WaitForButtons(false, false, true));
  ASSERT_TRUE(wizard_.Press(WizardButton::Finish));
  ASSERT_TRUE(setup_.WaitForExit(kDefaultTimeoutMs, &code));
}

}  // namespace
}  // namespace tolvane::drive
