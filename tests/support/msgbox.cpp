#include "tests/support/msgbox.h"

#include <cstdlib>
#include <cwchar>
#include <ostream>
#include <utility>

namespace tolvane::test {
namespace {

// How often a wait looks again; short enough not to slow tests, long enough not to spin.
constexpr DWORD kPollMs = 20;
// Cross-thread and cross-process queries give up on a box whose thread does not answer.
constexpr UINT kQueryTimeoutMs = 2000;
// Time for a freshly shown box of another process to be painted before its icon is read.
constexpr DWORD kIconPaintTimeoutMs = 3000;

std::wstring ClassOf(HWND window) {
  wchar_t name[64] = {};
  const int length = GetClassNameW(window, name, 64);
  return std::wstring(name, length > 0 ? length : 0);
}

// The window's own text, read without sending it a message (so a busy thread cannot
// block the reader).
std::wstring TextOf(HWND window) {
  std::wstring text(4096, L'\0');
  const int length = InternalGetWindowText(window, &text[0], static_cast<int>(text.size()));
  text.resize(length > 0 ? length : 0);
  return text;
}

LRESULT Query(HWND window, UINT message, WPARAM wParam = 0, LPARAM lParam = 0) {
  DWORD_PTR result = 0;
  if (!SendMessageTimeoutW(window, message, wParam, lParam, SMTO_ABORTIFHUNG | SMTO_BLOCK,
                           kQueryTimeoutMs, &result)) {
    return 0;
  }
  return static_cast<LRESULT>(result);
}

// Waits up to `ms` without blocking the window messages of the calling thread.
void PumpFor(DWORD ms) {
  MsgWaitForMultipleObjects(0, nullptr, FALSE, ms, QS_ALLINPUT);
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}

bool TimeLeft(DWORD start, DWORD timeoutMs) { return GetTickCount() - start < timeoutMs; }

bool IsPushButton(HWND child) {
  if (ClassOf(child) != L"Button" || !IsWindowVisible(child)) return false;
  const LONG type = GetWindowLongW(child, GWL_STYLE) & BS_TYPEMASK;
  return type == BS_PUSHBUTTON || type == BS_DEFPUSHBUTTON;
}

BOOL CALLBACK CollectChild(HWND child, LPARAM param) {
  reinterpret_cast<std::vector<HWND>*>(param)->push_back(child);
  return TRUE;
}

std::vector<HWND> Children(HWND parent) {
  std::vector<HWND> children;
  EnumChildWindows(parent, CollectChild, reinterpret_cast<LPARAM>(&children));
  return children;
}

// A dialog with push buttons and no nested dialog: tells a message box apart from a
// property sheet or another dialog that happens to carry the same caption.
bool LooksLikeMessageBox(HWND window) {
  if (ClassOf(window) != L"#32770" || !IsWindowVisible(window)) return false;
  bool hasButton = false;
  for (HWND child : Children(window)) {
    if (ClassOf(child) == L"#32770") return false;
    hasButton = hasButton || IsPushButton(child);
  }
  return hasButton;
}

bool IsIconStatic(HWND child) {
  return ClassOf(child) == L"Static" && (GetWindowLongW(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON;
}

struct IconCandidate {
  MessageBoxIcon kind;
  LPCWSTR id;
};
const IconCandidate kIconCandidates[] = {
    {MessageBoxIcon::Error, IDI_HAND},
    {MessageBoxIcon::Question, IDI_QUESTION},
    {MessageBoxIcon::Warning, IDI_EXCLAMATION},
    {MessageBoxIcon::Information, IDI_ASTERISK},
};

// --- Pixels of a screen rectangle and of a reference icon ---------------------------

class MemoryBitmap {
 public:
  MemoryBitmap(int width, int height) : width_(width), height_(height) {
    dc_ = CreateCompatibleDC(nullptr);
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;  // top-down rows
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    bitmap_ = dc_ ? CreateDIBSection(dc_, &info, DIB_RGB_COLORS, &bits, nullptr, 0) : nullptr;
    bits_ = static_cast<const DWORD*>(bits);
    if (bitmap_) previous_ = SelectObject(dc_, bitmap_);
  }
  ~MemoryBitmap() {
    if (previous_) SelectObject(dc_, previous_);
    if (bitmap_) DeleteObject(bitmap_);
    if (dc_) DeleteDC(dc_);
  }
  MemoryBitmap(const MemoryBitmap&) = delete;
  MemoryBitmap& operator=(const MemoryBitmap&) = delete;

  bool ok() const { return bits_ != nullptr; }
  HDC dc() const { return dc_; }
  std::vector<DWORD> Pixels() const {
    GdiFlush();
    return std::vector<DWORD>(bits_, bits_ + static_cast<size_t>(width_) * height_);
  }

 private:
  int width_, height_;
  HDC dc_ = nullptr;
  HBITMAP bitmap_ = nullptr;
  HGDIOBJ previous_ = nullptr;
  const DWORD* bits_ = nullptr;
};

std::vector<DWORD> CaptureScreen(const RECT& area) {
  const int width = area.right - area.left, height = area.bottom - area.top;
  MemoryBitmap target(width, height);
  HDC screen = GetDC(nullptr);
  if (!target.ok() || !screen) {
    if (screen) ReleaseDC(nullptr, screen);
    return {};
  }
  const BOOL copied = BitBlt(target.dc(), 0, 0, width, height, screen, area.left, area.top, SRCCOPY);
  ReleaseDC(nullptr, screen);
  return copied ? target.Pixels() : std::vector<DWORD>();
}

std::vector<DWORD> RenderIcon(HICON icon, int width, int height, DWORD background) {
  MemoryBitmap target(width, height);
  if (!target.ok()) return {};
  HBRUSH brush = CreateSolidBrush(RGB((background >> 16) & 0xFF, (background >> 8) & 0xFF, background & 0xFF));
  RECT all = {0, 0, width, height};
  FillRect(target.dc(), &all, brush);
  DeleteObject(brush);
  DrawIconEx(target.dc(), 0, 0, icon, 0, 0, 0, nullptr, DI_NORMAL);
  return target.Pixels();
}

size_t DifferingPixels(const std::vector<DWORD>& a, const std::vector<DWORD>& b) {
  size_t count = 0;
  for (size_t i = 0; i < a.size() && i < b.size(); ++i) {
    int distance = 0;
    for (int shift = 0; shift < 24; shift += 8) {
      distance += std::abs(static_cast<int>((a[i] >> shift) & 0xFF) - static_cast<int>((b[i] >> shift) & 0xFF));
    }
    if (distance > 48) ++count;
  }
  return count;
}

// An icon handle of another process cannot be drawn here, so the icon is recognised by
// comparing the control's pixels on screen with the system icons drawn on the same
// background. Retries until the box has been painted.
MessageBoxIcon RecogniseIconPixels(HWND control) {
  const DWORD start = GetTickCount();
  do {
    RECT area;
    if (!GetWindowRect(control, &area) || area.right <= area.left || area.bottom <= area.top) break;
    const int width = area.right - area.left, height = area.bottom - area.top;
    const std::vector<DWORD> shot = CaptureScreen(area);
    if (!shot.empty()) {
      const size_t tolerance = static_cast<size_t>(width) * height / 64;
      for (const IconCandidate& candidate : kIconCandidates) {
        const std::vector<DWORD> reference =
            RenderIcon(LoadIconW(nullptr, candidate.id), width, height, shot[0]);
        if (!reference.empty() && DifferingPixels(shot, reference) <= tolerance) return candidate.kind;
      }
    }
    PumpFor(kPollMs);
  } while (TimeLeft(start, kIconPaintTimeoutMs));
  return MessageBoxIcon::Unknown;
}

MessageBoxIcon ReadIcon(HWND box) {
  for (HWND child : Children(box)) {
    if (!IsIconStatic(child)) continue;
    if (!IsWindowVisible(child)) return MessageBoxIcon::None;
    HICON icon = reinterpret_cast<HICON>(Query(child, STM_GETICON));
    if (!icon) return MessageBoxIcon::None;
    // System icons are shared within a process: a box of this process shows the very
    // handle LoadIcon gives here.
    for (const IconCandidate& candidate : kIconCandidates) {
      if (icon == LoadIconW(nullptr, candidate.id)) return candidate.kind;
    }
    return RecogniseIconPixels(child);
  }
  return MessageBoxIcon::None;
}

struct FindContext {
  const MessageBoxFilter* filter;
  std::vector<HWND> found;
};

BOOL CALLBACK CollectBox(HWND window, LPARAM param) {
  FindContext& context = *reinterpret_cast<FindContext*>(param);
  const MessageBoxFilter& filter = *context.filter;
  DWORD processId = 0;
  const DWORD threadId = GetWindowThreadProcessId(window, &processId);
  if (filter.processId != 0 && processId != filter.processId) return TRUE;
  if (filter.threadId != 0 && threadId != filter.threadId) return TRUE;
  if (TextOf(window) != filter.caption) return TRUE;
  if (LooksLikeMessageBox(window)) context.found.push_back(window);
  return TRUE;
}

}  // namespace

const char* ToString(MessageBoxIcon icon) {
  switch (icon) {
    case MessageBoxIcon::None: return "None";
    case MessageBoxIcon::Error: return "Error";
    case MessageBoxIcon::Question: return "Question";
    case MessageBoxIcon::Warning: return "Warning";
    case MessageBoxIcon::Information: return "Information";
    case MessageBoxIcon::Unknown: return "Unknown";
  }
  return "?";
}

std::ostream& operator<<(std::ostream& out, MessageBoxIcon icon) { return out << ToString(icon); }

std::vector<HWND> FindMessageBoxes(const MessageBoxFilter& filter) {
  FindContext context{&filter, {}};
  EnumWindows(CollectBox, reinterpret_cast<LPARAM>(&context));
  return context.found;
}

MessageBoxInfo ReadMessageBox(HWND box) {
  MessageBoxInfo info;
  info.window = box;
  info.owner = GetWindow(box, GW_OWNER);
  info.threadId = GetWindowThreadProcessId(box, &info.processId);
  info.style = static_cast<DWORD>(GetWindowLongW(box, GWL_STYLE));
  info.caption = TextOf(box);
  for (HWND child : Children(box)) {
    if (IsPushButton(child)) {
      const int id = GetDlgCtrlID(child);
      info.buttons.push_back(id);
      if ((GetWindowLongW(child, GWL_STYLE) & BS_TYPEMASK) == BS_DEFPUSHBUTTON) info.defaultButton = id;
    } else if (ClassOf(child) == L"Static" && !IsIconStatic(child)) {
      // The message is the static text; keep the longest should a box carry several.
      std::wstring text = TextOf(child);
      if (text.size() > info.text.size()) info.text = std::move(text);
    }
  }
  info.icon = ReadIcon(box);
  return info;
}

std::optional<MessageBoxInfo> WaitForMessageBox(const MessageBoxFilter& filter, DWORD timeoutMs) {
  const DWORD start = GetTickCount();
  for (;;) {
    const std::vector<HWND> boxes = FindMessageBoxes(filter);
    if (!boxes.empty()) return ReadMessageBox(boxes.front());
    if (!TimeLeft(start, timeoutMs)) return std::nullopt;
    PumpFor(kPollMs);
  }
}

bool WaitForWindowGone(HWND window, DWORD timeoutMs) {
  const DWORD start = GetTickCount();
  while (IsWindow(window)) {
    if (!TimeLeft(start, timeoutMs)) return false;
    PumpFor(kPollMs);
  }
  return true;
}

bool PressMessageBoxButton(HWND box, int buttonId, DWORD timeoutMs) {
  if (!IsWindow(box)) return false;
  if (buttonId == kCloseBox) {
    // What the title bar's close button does.
    if (!PostMessageW(box, WM_SYSCOMMAND, SC_CLOSE, 0)) return false;
  } else {
    HWND button = GetDlgItem(box, buttonId);
    if (!button || !IsPushButton(button)) return false;
    if (!PostMessageW(button, BM_CLICK, 0, 0)) return false;
  }
  return WaitForWindowGone(box, timeoutMs);
}

MessageBoxResponder::MessageBoxResponder(MessageBoxFilter filter, int buttonId, DWORD timeoutMs)
    : stop_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
  thread_ = std::thread(&MessageBoxResponder::Run, this, std::move(filter), buttonId, timeoutMs);
}

MessageBoxResponder::~MessageBoxResponder() {
  Stop();
  if (stop_) CloseHandle(stop_);
}

void MessageBoxResponder::Run(MessageBoxFilter filter, int buttonId, DWORD timeoutMs) {
  const DWORD start = GetTickCount();
  for (;;) {
    const std::vector<HWND> boxes = FindMessageBoxes(filter);
    if (!boxes.empty()) {
      seen_ = ReadMessageBox(boxes.front());
      answered_ = PressMessageBoxButton(boxes.front(), buttonId, timeoutMs);
      return;
    }
    if (!TimeLeft(start, timeoutMs)) return;
    if (!stop_ || WaitForSingleObject(stop_, kPollMs) == WAIT_OBJECT_0) return;
  }
}

std::optional<MessageBoxInfo> MessageBoxResponder::Wait() {
  if (thread_.joinable()) thread_.join();
  return seen_;
}

std::optional<MessageBoxInfo> MessageBoxResponder::Stop() {
  if (stop_) SetEvent(stop_);
  return Wait();
}

}  // namespace tolvane::test
