// Finding, reading and answering message boxes from tests, through the window system.
//
// A message box is a top-level dialog ("#32770") with a caption, a text, an optional icon
// and push buttons. Boxes of this process and of other processes (a setup.exe started by
// an end-to-end test) are handled alike. Every wait has a timeout; nothing sleeps for a
// fixed time.
//
// Typical use: answer the box that the code under test will show on this thread.
//
//   tolvane::test::MessageBoxResponder answer({L"Caption", GetCurrentProcessId()}, IDNO);
//   EXPECT_FALSE(CodeThatAsks(owner));
//   auto box = answer.Wait();
//   ASSERT_TRUE(box);
//   EXPECT_EQ(box->text, L"...");
#pragma once

#include <windows.h>

#include <atomic>
#include <iosfwd>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace tolvane::test {

inline constexpr DWORD kDefaultBoxTimeoutMs = 15000;

// Pass as the button to close the box from its title bar (WM_CLOSE) instead of a button.
inline constexpr int kCloseBox = 0;

enum class MessageBoxIcon { None, Error, Question, Warning, Information, Unknown };

const char* ToString(MessageBoxIcon icon);
std::ostream& operator<<(std::ostream& out, MessageBoxIcon icon);

struct MessageBoxFilter {
  std::wstring caption;   // exact window title
  DWORD processId = 0;    // 0: any process
  DWORD threadId = 0;     // 0: any thread
};

struct MessageBoxInfo {
  HWND window = nullptr;
  HWND owner = nullptr;   // GW_OWNER; null for an unowned box
  DWORD processId = 0;
  DWORD threadId = 0;
  DWORD style = 0;        // GWL_STYLE of the box window
  std::wstring caption;
  std::wstring text;
  MessageBoxIcon icon = MessageBoxIcon::None;
  std::vector<int> buttons;  // command ids of the visible push buttons, in tab order
  int defaultButton = 0;     // command id of the default push button, 0 if none
};

// Visible message boxes matching `filter`, now.
std::vector<HWND> FindMessageBoxes(const MessageBoxFilter& filter);

// Reads caption, text, icon, buttons and owner of a message box. For a box of another
// process a small probe DLL is hooked into the box's thread to recognise the icon.
MessageBoxInfo ReadMessageBox(HWND box);

// Waits until a matching box is visible and returns what it shows; nullopt on timeout.
std::optional<MessageBoxInfo> WaitForMessageBox(const MessageBoxFilter& filter,
                                                DWORD timeoutMs = kDefaultBoxTimeoutMs);

// Clicks the button with command id `buttonId` (IDOK, IDYES, IDNO, IDCANCEL, ...) or, for
// kCloseBox, closes the box, then waits until the box is gone. False if the box has no
// such button or is still there at the timeout.
bool PressMessageBoxButton(HWND box, int buttonId, DWORD timeoutMs = kDefaultBoxTimeoutMs);

// Gets rid of a box the way a user would who wants nothing of it: Cancel, else No, else
// OK (then Abort, Ignore), else the title bar's close button. Then waits until it is gone.
bool DismissMessageBox(HWND box, DWORD timeoutMs = kDefaultBoxTimeoutMs);

// Waits until `window` no longer exists.
bool WaitForWindowGone(HWND window, DWORD timeoutMs = kDefaultBoxTimeoutMs);

// Answers one message box from a thread of its own: waits for a box matching `filter`,
// records what it shows and presses `buttonId`. For code under test that shows its box
// modally on the calling thread (or on any other thread). A box without that button is
// dismissed instead, so that the code under test never hangs; Answered() is then false.
class MessageBoxResponder {
 public:
  MessageBoxResponder(MessageBoxFilter filter, int buttonId, DWORD timeoutMs = kDefaultBoxTimeoutMs);
  ~MessageBoxResponder();
  MessageBoxResponder(const MessageBoxResponder&) = delete;
  MessageBoxResponder& operator=(const MessageBoxResponder&) = delete;

  // Waits until the box has been answered or the timeout has passed; the box seen, if any.
  std::optional<MessageBoxInfo> Wait();
  // Stops looking now (for code that must not show a box); the box seen, if any.
  std::optional<MessageBoxInfo> Stop();
  // Whether the answer reached the box and the box went away.
  bool Answered() const { return answered_; }

 private:
  void Run(MessageBoxFilter filter, int buttonId, DWORD timeoutMs);

  HANDLE stop_ = nullptr;
  std::optional<MessageBoxInfo> seen_;
  std::atomic<bool> answered_{false};
  std::thread thread_;
};

}  // namespace tolvane::test
