#include "tests/app/fake_worker.h"

#include <process.h>

#include <chrono>

#include "engine/worker.h"

namespace tolvane::test {

namespace {

FakeWorker* g_install = nullptr;
FakeWorker* g_uninstall = nullptr;
FakeWorker* g_upgrade = nullptr;

}  // namespace

FakeWorker::~FakeWorker() {
  if (!thread_) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    steps_.clear();
    steps_.push_back([] { return false; });
  }
  changed_.notify_all();
  WaitForSingleObject(thread_.get(), 10000);
}

void FakeWorker::UseForInstall(FakeWorker* worker) { g_install = worker; }
void FakeWorker::UseForUninstall(FakeWorker* worker) { g_uninstall = worker; }
void FakeWorker::UseForUpgrade(FakeWorker* worker) { g_upgrade = worker; }

HANDLE FakeWorker::StartInstall(HWND page, std::atomic<int32_t>* progress, std::atomic<uint8_t>* stopFlag) {
  return g_install ? g_install->Start(page, progress, stopFlag) : nullptr;
}
HANDLE FakeWorker::StartUninstall(HWND page, std::atomic<int32_t>* progress) {
  return g_uninstall ? g_uninstall->Start(page, progress, nullptr) : nullptr;
}
HANDLE FakeWorker::StartUpgrade(HWND page, std::atomic<int32_t>* progress) {
  return g_upgrade ? g_upgrade->Start(page, progress, nullptr) : nullptr;
}

HANDLE FakeWorker::Start(HWND page, std::atomic<int32_t>* progress, std::atomic<uint8_t>* stop) {
  if (refuse_ || thread_) return nullptr;
  page_ = page;
  progress_ = progress;
  stop_ = stop;
  auto handle = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, &FakeWorker::Run, this, 0, nullptr));
  if (!handle) return nullptr;
  HANDLE mine = nullptr;
  DuplicateHandle(GetCurrentProcess(), handle, GetCurrentProcess(), &mine, 0, FALSE, DUPLICATE_SAME_ACCESS);
  thread_.reset(mine);
  started_ = true;
  return handle;
}

unsigned __stdcall FakeWorker::Run(void* self) {
  auto* worker = static_cast<FakeWorker*>(self);
  for (;;) {
    std::function<bool()> step;
    {
      std::unique_lock<std::mutex> lock(worker->mutex_);
      worker->busy_ = false;
      worker->changed_.notify_all();
      worker->changed_.wait(lock, [&] { return !worker->steps_.empty(); });
      step = std::move(worker->steps_.front());
      worker->steps_.pop_front();
      worker->busy_ = true;
    }
    if (!step()) break;
  }
  std::lock_guard<std::mutex> lock(worker->mutex_);
  worker->busy_ = false;
  worker->changed_.notify_all();
  return 0;
}

void FakeWorker::Queue(std::function<bool()> step) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    steps_.push_back(std::move(step));
  }
  changed_.notify_all();
}

void FakeWorker::Progress(int32_t value, UINT message) {
  Queue([this, value, message] {
    progress_->store(value, std::memory_order_relaxed);
    PostMessageW(page_, message, 0, 0);
    return true;
  });
}

void FakeWorker::Post(UINT message) {
  Queue([this, message] {
    PostMessageW(page_, message, 0, 0);
    return true;
  });
}

void FakeWorker::SendDone() {
  Queue([this] {
    SendMessageW(page_, WM_SETUP_DONE, 0, 0);
    return true;
  });
}

void FakeWorker::SendError(const wchar_t* text) {
  if (text) errorText_ = text;
  const bool hasText = text != nullptr;
  Queue([this, hasText] {
    SendMessageW(page_, WM_SETUP_ERROR, hasText ? reinterpret_cast<WPARAM>(errorText_.c_str()) : 0, 0);
    return true;
  });
}

void FakeWorker::EndWhenStopped() {
  Queue([this] {
    while (!StopFlag()) Sleep(5);  // a worker looks at the flag at fixed points
    return false;
  });
}

void FakeWorker::End() {
  Queue([] { return false; });
}

bool FakeWorker::WaitIdle(DWORD timeoutMs) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return steps_.empty() && !busy_; });
}

bool FakeWorker::Running() const { return thread_ && WaitForSingleObject(thread_.get(), 0) == WAIT_TIMEOUT; }

bool FakeWorker::WaitEnded(DWORD timeoutMs) const {
  return thread_ && WaitForSingleObject(thread_.get(), timeoutMs) == WAIT_OBJECT_0;
}

}  // namespace tolvane::test
