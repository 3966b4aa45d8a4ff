/* A minimal Wizard97 sheet, system-DPI aware, with bitmaps sized for the screen's DPI:
   a watermark of 164 x 314 and a header bitmap of 49 x 49 pixels at 96 DPI, scaled,
   each filled red inside a one-pixel blue frame, and an interior page with a header
   title and subtitle. Under Wine at 144 or 192 DPI the watermark is cut to 164 pixels
   wide and the header bitmap to 49 x 49 (the right and lower parts of both frames are
   missing), and the title and subtitle are drawn at fixed pixel offsets that do not
   grow with the font, so they overlap. Windows scales these. Not part of the program.
     wine wine_wizard97_dpi.exe      (after setting LogPixels; Cancel closes it) */
#include <windows.h>
#include <commctrl.h>
#include <prsht.h>

static INT_PTR CALLBACK Page(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  (void)window, (void)message, (void)wParam, (void)lParam;
  return FALSE;
}

static HBITMAP FramedBitmap(int width, int height) {
  BITMAPINFO info;
  ZeroMemory(&info, sizeof(info));
  info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = -height;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  void* bits = NULL;
  HBITMAP bitmap = CreateDIBSection(NULL, &info, DIB_RGB_COLORS, &bits, NULL, 0);
  DWORD* pixel = (DWORD*)bits;
  for (int y = 0; bitmap && y < height; ++y)
    for (int x = 0; x < width; ++x)
      pixel[y * width + x] = (x == 0 || y == 0 || x == width - 1 || y == height - 1) ? 0x0000FF : 0xFF0000;
  return bitmap;
}

/* A page template in memory: 317 x 143 dialog units, no controls. */
static DLGTEMPLATE* PageTemplate(WORD* buffer) {
  DLGTEMPLATE* t = (DLGTEMPLATE*)buffer;
  t->style = WS_CHILD | WS_DISABLED | WS_CAPTION | DS_SETFONT;
  t->cx = 317;
  t->cy = 143;
  WORD* p = (WORD*)(t + 1);
  *p++ = 0; /* menu */
  *p++ = 0; /* class */
  *p++ = 0; /* title */
  *p++ = 8; /* font size, then name */
  const wchar_t* face = L"MS Shell Dlg";
  while ((*p++ = *face++)) {}
  return t;
}

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, PWSTR command, int show) {
  (void)previous, (void)command, (void)show;
  /* System-DPI aware, as setup.exe's manifest makes it (Vista and later). */
  BOOL(WINAPI * aware)(void) = (BOOL(WINAPI*)(void))(void*)GetProcAddress(GetModuleHandleW(L"user32.dll"), "SetProcessDPIAware");
  if (aware) aware();
  HDC screen = GetDC(NULL);
  const int dpi = GetDeviceCaps(screen, LOGPIXELSY);
  ReleaseDC(NULL, screen);
  INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_WIN95_CLASSES};
  InitCommonControlsEx(&controls);

  static WORD templates[2][64];
  PROPSHEETPAGEW pages[2];
  ZeroMemory(pages, sizeof(pages));
  HPROPSHEETPAGE handles[2];
  for (int i = 0; i < 2; ++i) {
    pages[i].dwSize = sizeof(PROPSHEETPAGEW);
    pages[i].dwFlags = PSP_DLGINDIRECT | (i == 0 ? PSP_HIDEHEADER : PSP_USEHEADERTITLE | PSP_USEHEADERSUBTITLE);
    pages[i].hInstance = instance;
    pages[i].pResource = PageTemplate(templates[i]);
    pages[i].pfnDlgProc = Page;
    pages[i].pszHeaderTitle = L"Header title";
    pages[i].pszHeaderSubTitle = L"Header subtitle, one line below the title";
    handles[i] = CreatePropertySheetPageW(&pages[i]);
  }
  PROPSHEETHEADERW sheet;
  ZeroMemory(&sheet, sizeof(sheet));
  sheet.dwSize = sizeof(sheet);
  sheet.dwFlags = PSH_WIZARD97 | PSH_HEADER | PSH_WATERMARK | PSH_USEHBMHEADER | PSH_USEHBMWATERMARK;
  sheet.hInstance = instance;
  sheet.nPages = 2;
  sheet.phpage = handles;
  sheet.hbmWatermark = FramedBitmap(MulDiv(164, dpi, 96), MulDiv(314, dpi, 96));
  sheet.hbmHeader = FramedBitmap(MulDiv(49, dpi, 96), MulDiv(49, dpi, 96));
  PropertySheetW(&sheet);
  DeleteObject(sheet.hbmWatermark);
  DeleteObject(sheet.hbmHeader);
  return 0;
}
