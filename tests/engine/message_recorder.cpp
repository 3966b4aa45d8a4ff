#include "tests/engine/message_recorder.h"

#include <chrono>

#include "engine/worker.h"

namespace tolvane::test {
namespace {

constexpr wchar_t kClassName[] = L"TolvaneEngineTestPage";
constexpr UINT kDrainMarker = WM_APP + 7;

}  // namespace

MessageRecorder::MessageRecorder() {
  thread_ = std::thread([this] { Run(); });
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait_for(lock, std::chrono::seconds(30), [this] { return ready_; });
}

MessageRecorder::~MessageRecorder() {
  if (window_) PostMessageW(window_, WM_CLOSE, 0, 0);
  if (thread_.joinable()) thread_.join();
}

void MessageRecorder::Run() {
  WNDCLASSW wc = {};
  wc.lpfnWndProc = WindowProc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = kClassName;
  RegisterClassW(&wc);  // fails harmlessly when an earlier recorder registered it
  HWND window = CreateWindowExW(0, kClassName, L"engine test page", WS_OVERLAPPEDWINDOW, 0, 0, 200, 100, nullptr,
                                nullptr, wc.hInstance, nullptr);
  if (window) SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  {
    std::lock_guard<std::mutex> lock(mutex_);
    window_ = window;
    ready_ = true;
  }
  changed_.notify_all();
  if (!window) return;
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}

LRESULT CALLBACK MessageRecorder::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* self = reinterpret_cast<MessageRecorder*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  switch (message) {
    case WM_SETUP_DONE:
    case WM_SETUP_ERROR:  // also WM_UNINSTALL_PROGRESS
    case WM_SETUP_PROGRESS:
      if (!self) return 0;
      if (InSendMessage()) {
        // A sent message overtakes the notices the worker posted just before it; take
        // those first so that the record keeps the order in which the worker issued them.
        MSG posted;
        while (PeekMessageW(&posted, window, WM_SETUP_ERROR, WM_SETUP_PROGRESS, PM_REMOVE)) {
          self->Record(posted.message, posted.wParam);
        }
      }
      self->Record(message, wParam);
      return 0;
    case kDrainMarker:
      if (self) {
        std::lock_guard<std::mutex> lock(self->mutex_);
        self->drained_ = true;
      }
      if (self) self->changed_.notify_all();
      return 0;
    case WM_CLOSE:
      DestroyWindow(window);
      return 0;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

void MessageRecorder::Record(UINT message, WPARAM wParam) {
  if (onMessage) onMessage(message);
  RecordedMessage m;
  m.message = message;
  m.progress = progress_.load(std::memory_order_relaxed);
  if (wParam) {
    m.hasText = true;
    m.text = reinterpret_cast<const wchar_t*>(wParam);
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    messages_.push_back(std::move(m));
  }
  changed_.notify_all();
}

bool MessageRecorder::WaitFor(UINT message, DWORD timeoutMs) { return WaitForCount(message, 1, timeoutMs); }

bool MessageRecorder::WaitForCount(UINT message, size_t count, DWORD timeoutMs) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
    size_t seen = 0;
    for (const RecordedMessage& m : messages_) seen += m.message == message;
    return seen >= count;
  });
}

bool MessageRecorder::WaitForWorker(HANDLE thread, DWORD timeoutMs) {
  if (!thread) return false;
  const bool ended = WaitForSingleObject(thread, timeoutMs) == WAIT_OBJECT_0;
  CloseHandle(thread);
  if (!ended) return false;
  // Posted messages are handled in the order they were posted: once this marker comes
  // through, everything the finished worker posted has been recorded.
  {
    std::lock_guard<std::mutex> lock(mutex_);
    drained_ = false;
  }
  PostMessageW(window_, kDrainMarker, 0, 0);
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return drained_; });
}

std::vector<RecordedMessage> MessageRecorder::Messages() {
  std::lock_guard<std::mutex> lock(mutex_);
  return messages_;
}

}  // namespace tolvane::test
