// The message-box helpers against real boxes: of this thread, of another thread and of
// another process.
#include "tests/support/msgbox.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <future>
#include <string>
#include <thread>

namespace tolvane::test {
namespace {

constexpr wchar_t kCaption[] = L"消息框测试";
constexpr DWORD kShortMs = 300;

std::wstring BesideThisProgram(const wchar_t* name) {
  wchar_t path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring result(path, length);
  return result.substr(0, result.find_last_of(L'\\') + 1) + name;
}

MessageBoxFilter ThisThread(const wchar_t* caption = kCaption) {
  return {caption, GetCurrentProcessId(), GetCurrentThreadId()};
}

TEST(MessageBoxOfThisProcess, ReadsEverythingAndPressesTheChosenButton) {
  MessageBoxResponder answer(ThisThread(), IDNO);
  const int result = MessageBoxW(nullptr, L"覆盖文件?\nsecond line", kCaption,
                                 MB_YESNOCANCEL | MB_ICONQUESTION | MB_DEFBUTTON3);
  EXPECT_EQ(result, IDNO);
  const auto box = answer.Wait();
  ASSERT_TRUE(box.has_value());
  EXPECT_TRUE(answer.Answered());
  EXPECT_EQ(box->caption, kCaption);
  EXPECT_EQ(box->text, L"覆盖文件?\nsecond line");
  EXPECT_EQ(box->icon, MessageBoxIcon::Question);
  EXPECT_EQ(box->buttons, (std::vector<int>{IDYES, IDNO, IDCANCEL}));
  EXPECT_EQ(box->defaultButton, IDCANCEL);
  EXPECT_EQ(box->processId, GetCurrentProcessId());
  EXPECT_EQ(box->threadId, GetCurrentThreadId());
  EXPECT_FALSE(IsWindow(box->window));
}

TEST(MessageBoxOfThisProcess, ReportsTheOwnerWindow) {
  HWND owner = CreateWindowExW(0, L"STATIC", L"owner", WS_OVERLAPPEDWINDOW, 0, 0, 200, 100,
                               nullptr, nullptr, nullptr, nullptr);
  ASSERT_NE(owner, nullptr);
  MessageBoxResponder answer(ThisThread(), IDOK);
  EXPECT_EQ(MessageBoxW(owner, L"text", kCaption, MB_OK), IDOK);
  const auto box = answer.Wait();
  DestroyWindow(owner);
  ASSERT_TRUE(box.has_value());
  EXPECT_EQ(box->owner, owner);
}

TEST(MessageBoxOfThisProcess, DefaultButtonFollowsTheRequestedStyle) {
  MessageBoxResponder answer(ThisThread(), IDYES);
  EXPECT_EQ(MessageBoxW(nullptr, L"text", kCaption, MB_YESNO | MB_DEFBUTTON2), IDYES);
  const auto box = answer.Wait();
  ASSERT_TRUE(box.has_value());
  EXPECT_EQ(box->buttons, (std::vector<int>{IDYES, IDNO}));
  EXPECT_EQ(box->defaultButton, IDNO);
}

TEST(MessageBoxOfThisProcess, ClosingFromTheTitleBarCancels) {
  MessageBoxResponder answer(ThisThread(), kCloseBox);
  EXPECT_EQ(MessageBoxW(nullptr, L"text", kCaption, MB_YESNOCANCEL), IDCANCEL);
  EXPECT_TRUE(answer.Wait().has_value());
  EXPECT_TRUE(answer.Answered());
}

struct IconCase {
  UINT style;
  MessageBoxIcon icon;
};

class IconOfThisProcess : public ::testing::TestWithParam<IconCase> {};

TEST_P(IconOfThisProcess, IsRecognised) {
  MessageBoxResponder answer(ThisThread(), IDOK);
  EXPECT_EQ(MessageBoxW(nullptr, L"text", kCaption, MB_OK | GetParam().style), IDOK);
  const auto box = answer.Wait();
  ASSERT_TRUE(box.has_value());
  EXPECT_EQ(box->icon, GetParam().icon);
  EXPECT_EQ(box->buttons, std::vector<int>{IDOK});
}

INSTANTIATE_TEST_SUITE_P(AllKinds, IconOfThisProcess,
                         ::testing::Values(IconCase{MB_ICONERROR, MessageBoxIcon::Error},
                                           IconCase{MB_ICONQUESTION, MessageBoxIcon::Question},
                                           IconCase{MB_ICONWARNING, MessageBoxIcon::Warning},
                                           IconCase{MB_ICONINFORMATION, MessageBoxIcon::Information},
                                           IconCase{0, MessageBoxIcon::None}));

TEST(MessageBoxWaiting, GivesUpWhenNoBoxAppears) {
  EXPECT_FALSE(WaitForMessageBox(ThisThread(L"无此窗口"), kShortMs).has_value());
  MessageBoxResponder idle(ThisThread(L"无此窗口"), IDOK);
  EXPECT_FALSE(idle.Stop().has_value());
  EXPECT_FALSE(idle.Answered());
}

TEST(MessageBoxWaiting, AButtonTheBoxLacksIsNotPressed) {
  const MessageBoxFilter filter = ThisThread();
  bool wrongPressed = true, boxStayed = false, rightPressed = false;
  std::thread driver([&] {
    const auto box = WaitForMessageBox(filter);
    if (!box) return;
    wrongPressed = PressMessageBoxButton(box->window, IDYES, kShortMs);
    boxStayed = IsWindow(box->window) != FALSE;
    rightPressed = PressMessageBoxButton(box->window, IDOK);
  });
  EXPECT_EQ(MessageBoxW(nullptr, L"text", kCaption, MB_OK), IDOK);
  driver.join();
  EXPECT_FALSE(wrongPressed);
  EXPECT_TRUE(boxStayed);
  EXPECT_TRUE(rightPressed);
}

TEST(MessageBoxWaiting, AResponderDismissesABoxWithoutItsButton) {
  MessageBoxResponder answer(ThisThread(), IDYES);
  EXPECT_EQ(MessageBoxW(nullptr, L"text", kCaption, MB_OKCANCEL | MB_ICONERROR), IDCANCEL);
  EXPECT_TRUE(answer.Wait().has_value());
  EXPECT_FALSE(answer.Answered());

  MessageBoxResponder okOnly(ThisThread(), IDYES);
  EXPECT_EQ(MessageBoxW(nullptr, L"text", kCaption, MB_OK), IDOK);
  EXPECT_TRUE(okOnly.Wait().has_value());
  EXPECT_FALSE(okOnly.Answered());
}

TEST(MessageBoxFiltering, ThreadAndCaptionMustMatch) {
  std::promise<DWORD> workerId;
  auto workerIdReady = workerId.get_future();
  std::thread worker([&] {
    workerId.set_value(GetCurrentThreadId());
    MessageBoxW(nullptr, L"from a worker", kCaption, MB_OK);
  });
  const DWORD worker_tid = workerIdReady.get();
  const auto box = WaitForMessageBox({kCaption, GetCurrentProcessId(), worker_tid});
  ASSERT_TRUE(box.has_value());
  EXPECT_EQ(box->text, L"from a worker");
  EXPECT_EQ(box->threadId, worker_tid);
  // Visible now, but not on this thread and not under another caption.
  EXPECT_TRUE(FindMessageBoxes(ThisThread()).empty());
  EXPECT_TRUE(FindMessageBoxes({L"消息框", 0, 0}).empty());
  EXPECT_EQ(FindMessageBoxes({kCaption, 0, 0}).size(), 1u);
  EXPECT_TRUE(PressMessageBoxButton(box->window, IDOK));
  worker.join();
}

// Owns a window and destroys it.
struct WindowOwner {
  HWND window;
  explicit WindowOwner(HWND w) : window(w) {}
  ~WindowOwner() {
    if (window) DestroyWindow(window);
  }
};

TEST(MessageBoxFiltering, DialogsThatAreNoMessageBoxesAreIgnored) {
  // A property-sheet-like dialog: it nests a page dialog.
  WindowOwner sheet(CreateWindowExW(0, L"#32770", kCaption, WS_POPUP | WS_CAPTION | WS_VISIBLE, 10, 10,
                                    300, 200, nullptr, nullptr, nullptr, nullptr));
  ASSERT_NE(sheet.window, nullptr);
  CreateWindowExW(0, L"#32770", L"", WS_CHILD | WS_VISIBLE, 0, 0, 200, 100, sheet.window, nullptr, nullptr, nullptr);
  CreateWindowExW(0, L"BUTTON", L"OK", WS_CHILD | WS_VISIBLE | BS_PUSHBUTTON, 0, 120, 80, 24, sheet.window,
                  reinterpret_cast<HMENU>(IDOK), nullptr, nullptr);
  // A dialog window without any button.
  WindowOwner bare(CreateWindowExW(0, L"#32770", kCaption, WS_POPUP | WS_CAPTION | WS_VISIBLE, 20, 20, 300,
                                   200, nullptr, nullptr, nullptr, nullptr));
  ASSERT_NE(bare.window, nullptr);
  EXPECT_TRUE(FindMessageBoxes({kCaption, 0, 0}).empty());
  EXPECT_FALSE(WaitForMessageBox({kCaption, 0, 0}, kShortMs).has_value());
}

// A message box shown by msgbox_show.exe; the process is waited for and released.
class OtherProcessBox {
 public:
  OtherProcessBox(const std::wstring& caption, const std::wstring& text, UINT flags) {
    std::wstring command = L"\"" + BesideThisProgram(L"msgbox_show.exe") + L"\" \"" + caption + L"\" \"" +
                           text + L"\" " + std::to_wstring(flags);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    started_ = CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                              &process_) != FALSE;
  }
  ~OtherProcessBox() {
    if (!started_) return;
    if (WaitForSingleObject(process_.hProcess, kDefaultBoxTimeoutMs) != WAIT_OBJECT_0) {
      TerminateProcess(process_.hProcess, 1);
    }
    CloseHandle(process_.hThread);
    CloseHandle(process_.hProcess);
  }
  bool started() const { return started_; }
  DWORD id() const { return process_.dwProcessId; }
  DWORD ExitCode() {
    DWORD code = STILL_ACTIVE;
    if (WaitForSingleObject(process_.hProcess, kDefaultBoxTimeoutMs) == WAIT_OBJECT_0) {
      GetExitCodeProcess(process_.hProcess, &code);
    }
    return code;
  }

 private:
  bool started_ = false;
  PROCESS_INFORMATION process_ = {};
};

TEST(MessageBoxOfAnotherProcess, IsFoundByProcessReadAndAnswered) {
  OtherProcessBox other(kCaption, L"另一个进程", MB_YESNO | MB_ICONWARNING | MB_DEFBUTTON2);
  ASSERT_TRUE(other.started());
  const auto box = WaitForMessageBox({kCaption, other.id(), 0});
  ASSERT_TRUE(box.has_value());
  EXPECT_EQ(box->text, L"另一个进程");
  EXPECT_EQ(box->icon, MessageBoxIcon::Warning);
  EXPECT_EQ(box->buttons, (std::vector<int>{IDYES, IDNO}));
  EXPECT_EQ(box->defaultButton, IDNO);
  EXPECT_TRUE(FindMessageBoxes({kCaption, GetCurrentProcessId(), 0}).empty());
  EXPECT_TRUE(PressMessageBoxButton(box->window, IDYES));
  EXPECT_EQ(other.ExitCode(), static_cast<DWORD>(IDYES));
}

class IconOfAnotherProcess : public ::testing::TestWithParam<IconCase> {};

TEST_P(IconOfAnotherProcess, IsRecognisedInsideThatProcess) {
  OtherProcessBox other(kCaption, L"icon", MB_OK | GetParam().style);
  ASSERT_TRUE(other.started());
  const auto box = WaitForMessageBox({kCaption, other.id(), 0});
  ASSERT_TRUE(box.has_value());
  EXPECT_EQ(box->icon, GetParam().icon);
  EXPECT_TRUE(PressMessageBoxButton(box->window, IDOK));
  EXPECT_EQ(other.ExitCode(), static_cast<DWORD>(IDOK));
}

INSTANTIATE_TEST_SUITE_P(AllKinds, IconOfAnotherProcess,
                         ::testing::Values(IconCase{MB_ICONERROR, MessageBoxIcon::Error},
                                           IconCase{MB_ICONQUESTION, MessageBoxIcon::Question},
                                           IconCase{MB_ICONWARNING, MessageBoxIcon::Warning},
                                           IconCase{MB_ICONINFORMATION, MessageBoxIcon::Information}));

}  // namespace
}  // namespace tolvane::test
