// A thin layer over the Win32 property-sheet control for Wizard97 wizards: page objects
// that receive the sheet's notifications as virtual calls, and a modal sheet that owns the
// wizard's fonts, centres itself once and swallows help requests.
#pragma once

#include <windows.h>
#include <commctrl.h>
#include <prsht.h>

#include <string>
#include <vector>

#include "common/win_owners.h"

// The module whose resources (page templates, bitmaps) the wizard loads.
class CWizardModule {
 public:
  static void Init(HINSTANCE instance);
  static void Term();
  static HINSTANCE Instance();  // falls back to the executable when not initialised
};

// A page's answer to Next: stay on the page, go to the page that follows it in the
// sheet, or jump to the page made from a given dialog template.
class WizardNext {
 public:
  static WizardNext Stay() { return WizardNext(-1); }
  static WizardNext Advance() { return WizardNext(0); }
  static WizardNext JumpTo(int templateId) { return WizardNext(templateId); }
  // The value the property sheet expects in DWLP_MSGRESULT for PSN_WIZNEXT.
  LRESULT Value() const { return value_; }

 private:
  explicit WizardNext(LRESULT value) : value_(value) {}
  LRESULT value_;
};

class CWizard97SheetImpl;

// One page of the sheet. The page object outlives its dialog window; the window exists
// from the first time the page is shown until the sheet closes.
class CWizard97PageWindow {
 public:
  virtual ~CWizard97PageWindow() = default;
  CWizard97PageWindow(const CWizard97PageWindow&) = delete;
  CWizard97PageWindow& operator=(const CWizard97PageWindow&) = delete;

  int TemplateId() const { return templateId_; }
  HWND Window() const { return window_; }

 protected:
  CWizard97PageWindow(int templateId, DWORD flags, const wchar_t* headerTitle,
                      const wchar_t* headerSubtitle);

  // What the pages override. The defaults give a page that can simply be walked through.
  virtual BOOL OnInitDialog() { return TRUE; }  // TRUE: the sheet sets the focus
  virtual void OnSetActive() {}                 // the page becomes the active page
  virtual WizardNext OnWizardNext() { return WizardNext::Advance(); }
  virtual bool OnWizardFinish() { return true; }  // true lets the sheet close
  virtual bool OnQueryCancel() { return true; }   // true lets the sheet close
  // Control notifications (WM_COMMAND); true when handled.
  virtual bool OnCommand(WORD /*id*/, WORD /*code*/, HWND /*control*/) { return false; }
  // Any other message of the page's dialog, e.g. messages from a worker thread. When it
  // returns true, *result is the message's result.
  virtual bool OnMessage(UINT /*message*/, WPARAM, LPARAM, LRESULT* /*result*/) { return false; }
  // The control that takes the keyboard focus when the page is shown; null (or a control
  // that cannot take it) sends the focus to the sheet's default button instead.
  virtual HWND FirstInput() const { return nullptr; }

  // The sheet's operations, for the pages.
  HWND Sheet() const { return window_ ? GetParent(window_) : nullptr; }
  HWND Item(int id) const { return GetDlgItem(window_, id); }
  // Takes effect after the current message: the sheet adjusts its buttons itself while
  // it switches pages, so a request made during PSN_SETACTIVE must come after that.
  void SetWizardButtons(DWORD buttons) const;
  void PressButton(int button) const;  // PSBTN_NEXT, PSBTN_CANCEL, ...
  HFONT ExteriorTitleFont() const;
  HFONT BulletFont() const;

 private:
  friend class CWizard97SheetImpl;
  HPROPSHEETPAGE Create(CWizard97SheetImpl* sheet);
  bool OnNotify(const NMHDR& header, LRESULT* result);
  void SettleFocus();
  HWND DefaultButton() const;
  static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

  const int templateId_;
  const DWORD flags_;
  const std::wstring headerTitle_;
  const std::wstring headerSubtitle_;
  CWizard97SheetImpl* sheet_ = nullptr;
  HWND window_ = nullptr;
  bool focusPending_ = false;  // shown, but the focus not yet placed on it
};

// A page beside the watermark, without header band (welcome and completion pages).
class CWizard97ExteriorPageImpl : public CWizard97PageWindow {
 protected:
  explicit CWizard97ExteriorPageImpl(int templateId);
  // Shows a control's text in the sheet's exterior title font.
  void SetTitleFont(int controlId) const;

 private:
  void FitTitle(int controlId, HFONT font) const;
};

// A page below the header band with a title and a subtitle.
class CWizard97InteriorPageImpl : public CWizard97PageWindow {
 protected:
  CWizard97InteriorPageImpl(int templateId, const wchar_t* headerTitle, const wchar_t* headerSubtitle);
};

// The modal Wizard97 sheet.
class CWizard97SheetImpl {
 public:
  CWizard97SheetImpl(const wchar_t* caption, int headerBitmapId, int watermarkBitmapId, UINT startPage);
  virtual ~CWizard97SheetImpl();
  CWizard97SheetImpl(const CWizard97SheetImpl&) = delete;
  CWizard97SheetImpl& operator=(const CWizard97SheetImpl&) = delete;

  // A header and watermark drawn for a higher DPI than the constructor's (96). The sheet
  // shows the pair drawn nearest the system's DPI, so that the watermark fills its panel
  // and the header its place. These are loaded as device bitmaps, so that they may be
  // stored in any BMP format GDI decodes, run-length encoded ones included.
  void AddBitmapsForDpi(int dpi, int headerBitmapId, int watermarkBitmapId);
  // Bitmaps that are no BITMAP resource are looked up in this compressed set (RCDATA,
  // app/dpi_bitmaps.h).
  void UsePackedBitmaps(int resourceId) { packedBitmaps_ = resourceId; }

  // Adds a page after the ones already added; false (and the page is left out) when the
  // property sheet cannot create it.
  bool AddPage(CWizard97PageWindow& page);
  size_t PageCount() const { return pages_.size(); }

  // Shows the sheet and returns when it closes (PropertySheetW's result).
  INT_PTR DoModal(HWND parent);

  HWND Window() const { return window_; }
  HFONT ExteriorTitleFont() const { return static_cast<HFONT>(titleFont_.get()); }
  HFONT BulletFont() const { return static_cast<HFONT>(bulletFont_.get()); }

 private:
  static int CALLBACK SheetCallback(HWND window, UINT message, LPARAM lParam);
  static LRESULT CALLBACK SheetSubclass(HWND window, UINT message, WPARAM wParam, LPARAM lParam,
                                        UINT_PTR id, DWORD_PTR self);
  void Attach(HWND window);
  void CreateFonts();
  void CentreOnce();

  struct Bitmaps {
    int dpi;
    int headerId;
    int watermarkId;
  };
  const Bitmaps& BitmapsForScreen() const;

  const std::wstring caption_;
  std::vector<Bitmaps> bitmaps_;  // the 96-DPI pair first
  int packedBitmaps_ = 0;         // the RCDATA set of the others; 0: none
  const UINT startPage_;
  std::vector<HPROPSHEETPAGE> pages_;  // handed to (and destroyed by) PropertySheetW
  HWND window_ = nullptr;
  bool centred_ = false;
  tolvane::UniqueGdiObject watermarkBitmap_;
  tolvane::UniqueGdiObject headerBitmap_;
  tolvane::UniqueGdiObject titleFont_;
  tolvane::UniqueGdiObject bulletFont_;
};
