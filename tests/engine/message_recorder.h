// A hidden window on a thread of its own that stands in for a progress page: it records
// every worker message with its wParam text and the progress value at the moment the
// message arrives, and lets a test wait for messages with a timeout. Messages are recorded
// in the order the worker issued them.
#pragma once

#include <windows.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tolvane::test {

struct RecordedMessage {
  UINT message = 0;
  bool hasText = false;  // wParam was not null
  std::wstring text;     // copied while the message was handled
  int32_t progress = 0;  // the progress value when the message arrived
};

class MessageRecorder {
 public:
  MessageRecorder();
  ~MessageRecorder();
  MessageRecorder(const MessageRecorder&) = delete;
  MessageRecorder& operator=(const MessageRecorder&) = delete;

  HWND window() const { return window_; }
  std::atomic<int32_t>* progress() { return &progress_; }
  std::atomic<uint8_t>* stopFlag() { return &stopFlag_; }

  // Waits until a message `message` has been recorded; false on timeout.
  bool WaitFor(UINT message, DWORD timeoutMs);
  // Waits until at least `count` messages `message` have been recorded.
  bool WaitForCount(UINT message, size_t count, DWORD timeoutMs);
  // Waits for the worker thread to end, then until every message it posted has been
  // handled. Closes `thread`. False when the thread did not end in time.
  bool WaitForWorker(HANDLE thread, DWORD timeoutMs);

  std::vector<RecordedMessage> Messages();

  // Called on the recorder's thread for each message as it arrives, while a sending
  // worker still waits; set before the worker starts.
  std::function<void(UINT message)> onMessage;

 private:
  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  void Run();
  void Record(UINT message, WPARAM wParam);

  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<RecordedMessage> messages_;
  bool ready_ = false;
  bool drained_ = false;
  HWND window_ = nullptr;
  std::atomic<int32_t> progress_{0};
  std::atomic<uint8_t> stopFlag_{0};
};

}  // namespace tolvane::test
