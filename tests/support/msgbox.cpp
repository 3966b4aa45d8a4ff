#include "tests/support/msgbox.h"

#include "tests/support/msgbox_probe.h"

#include <cwchar>
#include <ostream>
#include <utility>

namespace tolvane::test {
namespace {

// How often a wait looks again; short enough not to slow tests, long enough not to spin.
constexpr DWORD kPollMs = 20;
// Cross-thread and cross-process queries give up on a box whose thread does not answer.
constexpr UINT kQueryTimeoutMs = 2000;

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

// --- Icons of boxes in other processes ------------------------------------------------

// The probe DLL: beside this program, else where the build put it.
HMODULE LoadProbe() {
  wchar_t program[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, program, MAX_PATH);
  std::wstring beside(program, length);
  beside = beside.substr(0, beside.find_last_of(L'\\') + 1) + L"msgbox_probe.dll";
  if (HMODULE probe = LoadLibraryW(beside.c_str())) return probe;
  // The build folder, seen through Wine's drive Z: (the Unix root).
  std::wstring built = L"Z:";
  for (const char* c = TOLVANE_MSGBOX_PROBE_BUILT; *c; ++c) built += (*c == '/') ? L'\\' : static_cast<wchar_t>(*c);
  return LoadLibraryW(built.c_str());
}

// Icon handles of another process cannot be compared here: a hook loads the probe into
// the box's thread, which compares them there and leaves the answer as a property of the
// icon control.
MessageBoxIcon ProbeIconOfOtherProcess(HWND control) {
  static const HMODULE probe = LoadProbe();  // stays loaded for the life of the process
  if (!probe) return MessageBoxIcon::Unknown;
  const auto hook = reinterpret_cast<HOOKPROC>(reinterpret_cast<void*>(GetProcAddress(probe, TOLVANE_PROBE_HOOK)));
  if (!hook) return MessageBoxIcon::Unknown;
  HHOOK installed = SetWindowsHookExW(WH_CALLWNDPROC, hook, probe, GetWindowThreadProcessId(control, nullptr));
  if (!installed) return MessageBoxIcon::Unknown;
  Query(control, RegisterWindowMessageW(TOLVANE_PROBE_MESSAGE));
  UnhookWindowsHookEx(installed);
  const INT_PTR answer = reinterpret_cast<INT_PTR>(GetPropW(control, TOLVANE_PROBE_PROPERTY));
  if (answer < 1 || answer > static_cast<INT_PTR>(MessageBoxIcon::Unknown) + 1) return MessageBoxIcon::Unknown;
  return static_cast<MessageBoxIcon>(answer - 1);
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
    DWORD processId = 0;
    GetWindowThreadProcessId(child, &processId);
    return processId == GetCurrentProcessId() ? MessageBoxIcon::Unknown : ProbeIconOfOtherProcess(child);
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

bool DismissMessageBox(HWND box, DWORD timeoutMs) {
  for (int id : {IDCANCEL, IDNO, IDOK, IDABORT, IDIGNORE}) {
    if (GetDlgItem(box, id) && PressMessageBoxButton(box, id, timeoutMs)) return true;
  }
  return PressMessageBoxButton(box, kCloseBox, timeoutMs);
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
      // A box left open would hang the code under test, and the test with it.
      if (!answered_) DismissMessageBox(boxes.front(), timeoutMs);
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
