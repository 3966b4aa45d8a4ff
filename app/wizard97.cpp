#include "app/wizard97.h"

#include <algorithm>
#include <cstdlib>
#include <cwchar>

#include "app/dpi_bitmaps.h"

namespace {

HINSTANCE g_instance = nullptr;

// PropertySheetW's callback carries no pointer of ours: the sheet being shown on this
// thread is remembered here until its window exists.
thread_local CWizard97SheetImpl* t_showing = nullptr;

constexpr UINT_PTR kSubclassId = 1;

// Posted by an exterior page to itself when it becomes active. Wine's property sheet does
// not repaint the header band and watermark when an exterior page follows an interior
// one, leaving parts of both on the screen; once the switch is complete the page has the
// whole sheet repainted.
constexpr UINT kRepaintSheet = WM_APP + 0x3F0;

// Posted to a page after it becomes active and after each change of the wizard buttons,
// so that it arrives once the sheet has shown the page and applied the buttons. The
// sheet hides Next when it shows Finish and disables the buttons a page does not ask
// for; the focus then sits on a control that cannot take it, or nowhere, and the keys
// reach no dialog (without a focus they come as system keys). The page puts it back.
constexpr UINT kSettleFocus = WM_APP + 0x3F1;

// The sheet's own buttons.
constexpr int kBackButton = 0x3023;
constexpr int kNextButton = 0x3024;
constexpr int kFinishButton = 0x3025;

bool IsDialogWindow(HWND window) {
  wchar_t name[16] = {};
  return GetClassNameW(window, name, 16) > 0 && wcscmp(name, L"#32770") == 0;
}

// A control of the sheet or of its active page that a key can reach.
bool CanTakeFocus(HWND sheet, HWND control) {
  return control && control != sheet && IsChild(sheet, control) && IsWindowVisible(control) &&
         IsWindowEnabled(control) && !IsDialogWindow(control);
}

// The screen's vertical resolution in dots per inch, which the program is laid out for
// (it is system-DPI aware).
int ScreenDpi() {
  tolvane::WindowDc screen(nullptr);
  const int dpi = screen.get() ? GetDeviceCaps(screen.get(), LOGPIXELSY) : 0;
  return dpi > 0 ? dpi : 96;
}

// A font like `base` with another face, weight, point size (at the screen's resolution)
// and character set.
HFONT MakeFont(const LOGFONTW& base, const wchar_t* face, LONG weight, int points, BYTE charset) {
  LOGFONTW font = base;
  wcsncpy(font.lfFaceName, face, LF_FACESIZE - 1);
  font.lfFaceName[LF_FACESIZE - 1] = L'\0';
  font.lfWeight = weight;
  font.lfCharSet = charset;
  font.lfHeight = -MulDiv(points, ScreenDpi(), 72);
  return CreateFontIndirectW(&font);
}

}  // namespace

// ---- module --------------------------------------------------------------------------

void CWizardModule::Init(HINSTANCE instance) { g_instance = instance; }
void CWizardModule::Term() { g_instance = nullptr; }
HINSTANCE CWizardModule::Instance() { return g_instance ? g_instance : GetModuleHandleW(nullptr); }

// ---- pages ---------------------------------------------------------------------------

CWizard97PageWindow::CWizard97PageWindow(int templateId, DWORD flags, const wchar_t* headerTitle,
                                         const wchar_t* headerSubtitle)
    : templateId_(templateId),
      flags_(flags),
      headerTitle_(headerTitle ? headerTitle : L""),
      headerSubtitle_(headerSubtitle ? headerSubtitle : L"") {}

HPROPSHEETPAGE CWizard97PageWindow::Create(CWizard97SheetImpl* sheet) {
  sheet_ = sheet;
  PROPSHEETPAGEW page = {};
  page.dwSize = sizeof(page);
  page.dwFlags = flags_;
  page.hInstance = CWizardModule::Instance();
  page.pszTemplate = MAKEINTRESOURCEW(templateId_);
  page.pfnDlgProc = &CWizard97PageWindow::DialogProc;
  page.lParam = reinterpret_cast<LPARAM>(this);
  if (flags_ & PSP_USEHEADERTITLE) page.pszHeaderTitle = headerTitle_.c_str();
  if (flags_ & PSP_USEHEADERSUBTITLE) page.pszHeaderSubTitle = headerSubtitle_.c_str();
  return CreatePropertySheetPageW(&page);
}

void CWizard97PageWindow::SetWizardButtons(DWORD buttons) const {
  PostMessageW(Sheet(), PSM_SETWIZBUTTONS, 0, static_cast<LPARAM>(buttons));
  PostMessageW(window_, kSettleFocus, 0, 0);
}

HWND CWizard97PageWindow::DefaultButton() const {
  const HWND sheet = Sheet();
  const LRESULT id = SendMessageW(sheet, DM_GETDEFID, 0, 0);
  if (HIWORD(id) == DC_HASDEFID) {
    const HWND button = GetDlgItem(sheet, LOWORD(id));
    if (CanTakeFocus(sheet, button)) return button;
  }
  for (int fallback : {kNextButton, kFinishButton, kBackButton, IDCANCEL}) {
    const HWND button = GetDlgItem(sheet, fallback);
    if (CanTakeFocus(sheet, button)) return button;
  }
  return nullptr;
}

// A page just shown gets the focus on its first input or its default button; later, the
// focus is moved only when it has become unusable, so that a control the user chose
// keeps it.
void CWizard97PageWindow::SettleFocus() {
  const HWND sheet = Sheet();
  if (!sheet || PropSheet_GetCurrentPageHwnd(sheet) != window_) return;  // already left
  // An inactive sheet (a message box of ours is open, or another program is in front)
  // must not grab the focus; its activation brings us back here.
  if (GetActiveWindow() != sheet) return;
  const bool shown = focusPending_;
  focusPending_ = false;
  if (!shown && CanTakeFocus(sheet, GetFocus())) return;

  HWND target = FirstInput();
  if (!CanTakeFocus(sheet, target)) target = DefaultButton();
  if (!target) return;
  // Through the dialog manager, so that the default button's frame follows.
  SendMessageW(sheet, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(target), TRUE);
  // The dialog manager selects the text of an edit it focuses; a read-only text (the
  // agreement) is only read, so it stays unselected.
  if ((GetWindowLongW(target, GWL_STYLE) & ES_READONLY) &&
      (SendMessageW(target, WM_GETDLGCODE, 0, 0) & DLGC_HASSETSEL)) {
    SendMessageW(target, EM_SETSEL, 0, 0);
  }
}

// Posted, like the button states it follows: a press sent while the sheet is still being
// made (a worker that fails at once answers during the first page's activation) is lost
// when the sheet's own loop starts, and the wizard would never close.
void CWizard97PageWindow::PressButton(int button) const {
  PostMessageW(Sheet(), PSM_PRESSBUTTON, static_cast<WPARAM>(button), 0);
}

HFONT CWizard97PageWindow::ExteriorTitleFont() const {
  return sheet_ ? sheet_->ExteriorTitleFont() : nullptr;
}

HFONT CWizard97PageWindow::BulletFont() const { return sheet_ ? sheet_->BulletFont() : nullptr; }

bool CWizard97PageWindow::OnNotify(const NMHDR& header, LRESULT* result) {
  switch (header.code) {
    case PSN_SETACTIVE:
      if (flags_ & PSP_HIDEHEADER) PostMessageW(window_, kRepaintSheet, 0, 0);
      focusPending_ = true;
      OnSetActive();
      PostMessageW(window_, kSettleFocus, 0, 0);
      *result = 0;  // accept the activation
      return true;
    case PSN_WIZNEXT:
      *result = OnWizardNext().Value();
      return true;
    case PSN_WIZBACK:
      *result = 0;  // Back always goes to the previous page
      return true;
    case PSN_WIZFINISH:
      *result = OnWizardFinish() ? FALSE : TRUE;
      return true;
    case PSN_QUERYCANCEL:
      *result = OnQueryCancel() ? FALSE : TRUE;
      return true;
    case PSN_HELP:  // the wizard has no help to show
      *result = 0;
      return true;
    default:
      return false;
  }
}

INT_PTR CALLBACK CWizard97PageWindow::DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    // lParam is the sheet's copy of our PROPSHEETPAGEW; its lParam is the page object.
    auto* page = reinterpret_cast<CWizard97PageWindow*>(reinterpret_cast<PROPSHEETPAGEW*>(lParam)->lParam);
    SetWindowLongPtrW(window, DWLP_USER, reinterpret_cast<LONG_PTR>(page));
    page->window_ = window;
    return page->OnInitDialog();
  }
  auto* page = reinterpret_cast<CWizard97PageWindow*>(GetWindowLongPtrW(window, DWLP_USER));
  if (!page) return FALSE;

  LRESULT result = 0;
  bool handled = false;
  switch (message) {
    case WM_NOTIFY: {
      const auto* header = reinterpret_cast<const NMHDR*>(lParam);
      handled = header->code <= PSN_FIRST && header->code >= PSN_LAST && page->OnNotify(*header, &result);
      break;
    }
    case WM_COMMAND:
      if (page->OnCommand(LOWORD(wParam), HIWORD(wParam), reinterpret_cast<HWND>(lParam))) return TRUE;
      break;
    case kRepaintSheet:
      RedrawWindow(page->Sheet(), nullptr, nullptr, RDW_ERASE | RDW_FRAME | RDW_INVALIDATE | RDW_ALLCHILDREN);
      return TRUE;
    case kSettleFocus:
      page->SettleFocus();
      return TRUE;
    case WM_NCDESTROY:
      page->window_ = nullptr;
      SetWindowLongPtrW(window, DWLP_USER, 0);
      return FALSE;
    default:
      break;
  }
  if (!handled) handled = page->OnMessage(message, wParam, lParam, &result);
  if (!handled) return FALSE;
  SetWindowLongPtrW(window, DWLP_MSGRESULT, result);
  return TRUE;
}

CWizard97ExteriorPageImpl::CWizard97ExteriorPageImpl(int templateId)
    : CWizard97PageWindow(templateId, PSP_HASHELP | PSP_HIDEHEADER, nullptr, nullptr) {}

void CWizard97ExteriorPageImpl::SetTitleFont(int controlId) const {
  if (HFONT font = ExteriorTitleFont()) {
    SendDlgItemMessageW(Window(), controlId, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
    FitTitle(controlId, font);
  }
}

// The title font is sized in points, the page in units of the dialog font; both are
// rounded to whole pixels, so at some DPIs (120) a title that fits one line at 96 wraps
// and its second line would lose its last rows. The control then grows to the height
// its lines need, never into the control below it.
void CWizard97ExteriorPageImpl::FitTitle(int controlId, HFONT font) const {
  const HWND title = Item(controlId);
  wchar_t text[256];
  const int length = title ? GetWindowTextW(title, text, 256) : 0;
  if (length <= 0) return;
  RECT place;
  GetWindowRect(title, &place);
  MapWindowPoints(nullptr, Window(), reinterpret_cast<POINT*>(&place), 2);
  const LONG width = place.right - place.left;
  tolvane::WindowDc dc(title);
  if (!dc.get()) return;
  const HGDIOBJ old = SelectObject(dc.get(), font);
  RECT need = {0, 0, width, 0};
  DrawTextW(dc.get(), text, length, &need, DT_CALCRECT | DT_WORDBREAK | DT_EXPANDTABS);
  SelectObject(dc.get(), old);
  if (need.bottom <= place.bottom - place.top) return;
  LONG limit = need.bottom + place.top;
  for (HWND other = GetWindow(Window(), GW_CHILD); other; other = GetWindow(other, GW_HWNDNEXT)) {
    RECT r;
    GetWindowRect(other, &r);
    MapWindowPoints(nullptr, Window(), reinterpret_cast<POINT*>(&r), 2);
    if (other != title && r.top >= place.bottom && r.left < place.right && r.right > place.left)
      limit = std::min(limit, r.top);
  }
  SetWindowPos(title, nullptr, 0, 0, width, limit - place.top, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

CWizard97InteriorPageImpl::CWizard97InteriorPageImpl(int templateId, const wchar_t* headerTitle,
                                                     const wchar_t* headerSubtitle)
    : CWizard97PageWindow(templateId, PSP_HASHELP | PSP_USEHEADERTITLE | PSP_USEHEADERSUBTITLE,
                          headerTitle, headerSubtitle) {}

// ---- sheet ---------------------------------------------------------------------------

CWizard97SheetImpl::CWizard97SheetImpl(const wchar_t* caption, int headerBitmapId, int watermarkBitmapId,
                                       UINT startPage)
    : caption_(caption), bitmaps_{{96, headerBitmapId, watermarkBitmapId}}, startPage_(startPage) {}

void CWizard97SheetImpl::AddBitmapsForDpi(int dpi, int headerBitmapId, int watermarkBitmapId) {
  bitmaps_.push_back({dpi, headerBitmapId, watermarkBitmapId});
}

// The pair drawn nearest the screen's DPI; between two, the larger, which the control
// clips rather than leaving a bare band beside it.
const CWizard97SheetImpl::Bitmaps& CWizard97SheetImpl::BitmapsForScreen() const {
  const int dpi = ScreenDpi();
  const Bitmaps* best = &bitmaps_.front();
  for (const Bitmaps& candidate : bitmaps_) {
    const int distance = std::abs(candidate.dpi - dpi), bestDistance = std::abs(best->dpi - dpi);
    if (distance < bestDistance || (distance == bestDistance && candidate.dpi > best->dpi)) best = &candidate;
  }
  return *best;
}

CWizard97SheetImpl::~CWizard97SheetImpl() {
  // Pages never handed to PropertySheetW are still ours to destroy.
  for (HPROPSHEETPAGE page : pages_) DestroyPropertySheetPage(page);
}

bool CWizard97SheetImpl::AddPage(CWizard97PageWindow& page) {
  HPROPSHEETPAGE handle = page.Create(this);
  if (!handle) return false;
  pages_.push_back(handle);
  return true;
}

INT_PTR CWizard97SheetImpl::DoModal(HWND parent) {
  PROPSHEETHEADERW header = {};
  header.dwSize = sizeof(header);
  header.dwFlags = PSH_WIZARD97 | PSH_HEADER | PSH_WATERMARK | PSH_USECALLBACK | PSH_HASHELP;
  header.hwndParent = parent;
  header.hInstance = CWizardModule::Instance();
  header.pszCaption = caption_.c_str();
  header.nPages = static_cast<UINT>(pages_.size());
  header.nStartPage = startPage_;
  header.phpage = pages_.data();
  header.pfnCallback = &CWizard97SheetImpl::SheetCallback;
  // The bitmaps are handed over loaded: some property-sheet implementations draw the
  // header bitmap only when they get it as a handle. Resource ids remain the fallback.
  // The pair for the screen's DPI; the 96-DPI pair stands in for one that cannot be loaded.
  const HINSTANCE instance = CWizardModule::Instance();
  const Bitmaps& chosen = BitmapsForScreen();
  const Bitmaps& standard = bitmaps_.front();
  const UINT chosenFlags = &chosen == &standard ? LR_CREATEDIBSECTION : 0;
  auto load = [this, instance](int id, UINT flags) {
    HANDLE bitmap = LoadImageW(instance, MAKEINTRESOURCEW(id), IMAGE_BITMAP, 0, 0, flags);
    if (!bitmap && packedBitmaps_) bitmap = LoadPackedBitmap(instance, packedBitmaps_, id);
    return bitmap;
  };
  watermarkBitmap_.reset(load(chosen.watermarkId, chosenFlags));
  if (!watermarkBitmap_) watermarkBitmap_.reset(load(standard.watermarkId, LR_CREATEDIBSECTION));
  headerBitmap_.reset(load(chosen.headerId, chosenFlags));
  if (!headerBitmap_) headerBitmap_.reset(load(standard.headerId, LR_CREATEDIBSECTION));
  if (watermarkBitmap_) {
    header.dwFlags |= PSH_USEHBMWATERMARK;
    header.hbmWatermark = static_cast<HBITMAP>(watermarkBitmap_.get());
  } else {
    header.pszbmWatermark = MAKEINTRESOURCEW(standard.watermarkId);
  }
  if (headerBitmap_) {
    header.dwFlags |= PSH_USEHBMHEADER;
    header.hbmHeader = static_cast<HBITMAP>(headerBitmap_.get());
  } else {
    header.pszbmHeader = MAKEINTRESOURCEW(standard.headerId);
  }

  centred_ = false;
  CWizard97SheetImpl* const outer = t_showing;
  t_showing = this;
  const INT_PTR result = PropertySheetW(&header);
  t_showing = outer;
  // PropertySheetW destroys the pages it was given, shown or not.
  pages_.clear();
  window_ = nullptr;
  return result;
}

int CALLBACK CWizard97SheetImpl::SheetCallback(HWND window, UINT message, LPARAM) {
  if (message == PSCB_INITIALIZED && t_showing) t_showing->Attach(window);
  return 0;
}

void CWizard97SheetImpl::Attach(HWND window) {
  window_ = window;
  SetWindowSubclass(window, &CWizard97SheetImpl::SheetSubclass, kSubclassId, reinterpret_cast<DWORD_PTR>(this));
  CreateFonts();
}

void CWizard97SheetImpl::CreateFonts() {
  LOGFONTW base = {};
  auto dialogFont = reinterpret_cast<HFONT>(SendMessageW(window_, WM_GETFONT, 0, 0));
  if (!dialogFont || !GetObjectW(dialogFont, sizeof(base), &base)) {
    GetObjectW(GetStockObject(DEFAULT_GUI_FONT), sizeof(base), &base);
  }
  // The titles are Simplified Chinese on every system: the system's own character set
  // (DEFAULT_CHARSET) would give a font without their glyphs where it is not GB2312.
  titleFont_.reset(MakeFont(base, L"Verdana Bold", FW_BOLD, 12, GB2312_CHARSET));
  bulletFont_.reset(MakeFont(base, L"Marlett", FW_NORMAL, 8, DEFAULT_CHARSET));
}

// Over a visible owner, otherwise in the work area of the nearest monitor; never outside
// that work area.
void CWizard97SheetImpl::CentreOnce() {
  if (centred_) return;
  centred_ = true;

  RECT sheet;
  GetWindowRect(window_, &sheet);
  const LONG width = sheet.right - sheet.left;
  const LONG height = sheet.bottom - sheet.top;

  MONITORINFO monitor = {};
  monitor.cbSize = sizeof(monitor);
  GetMonitorInfoW(MonitorFromWindow(window_, MONITOR_DEFAULTTONEAREST), &monitor);
  const RECT work = monitor.rcWork;

  RECT area = work;
  HWND owner = GetWindow(window_, GW_OWNER);
  if (owner && IsWindowVisible(owner) && !IsIconic(owner)) GetWindowRect(owner, &area);

  LONG x = area.left + ((area.right - area.left) - width) / 2;
  LONG y = area.top + ((area.bottom - area.top) - height) / 2;
  x = std::max(work.left, std::min(x, work.right - width));
  y = std::max(work.top, std::min(y, work.bottom - height));
  SetWindowPos(window_, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

LRESULT CALLBACK CWizard97SheetImpl::SheetSubclass(HWND window, UINT message, WPARAM wParam, LPARAM lParam,
                                                   UINT_PTR, DWORD_PTR self) {
  auto* sheet = reinterpret_cast<CWizard97SheetImpl*>(self);
  switch (message) {
    case WM_HELP:  // F1 and the title-bar help button: the wizard offers no help
      return TRUE;
    case WM_SIZE:
      sheet->CentreOnce();
      break;
    case WM_SHOWWINDOW:
      // Some property-sheet implementations size the sheet before the callback that
      // attaches us, so no WM_SIZE follows: then the sheet is centred as it appears.
      if (wParam) sheet->CentreOnce();
      break;
    case WM_ACTIVATE:
      // Once the dialog has put back the focus it had, the page checks it can be used.
      if (LOWORD(wParam) != WA_INACTIVE) {
        if (HWND page = PropSheet_GetCurrentPageHwnd(window)) PostMessageW(page, kSettleFocus, 0, 0);
      }
      break;
    case WM_NCDESTROY:
      RemoveWindowSubclass(window, &CWizard97SheetImpl::SheetSubclass, kSubclassId);
      break;
    default:
      break;
  }
  return DefSubclassProc(window, message, wParam, lParam);
}
