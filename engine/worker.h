// The worker threads that install, uninstall and upgrade, and the messages they send to
// their progress page.
//
// A worker writes the progress value through its pointer and then posts the progress
// message; the page reads the value when the message arrives. The end (WM_SETUP_DONE)
// and failures (WM_SETUP_ERROR, wParam = the text) are sent, so the worker waits while
// the page handles them. After an error, or when the install is asked to stop, nothing
// more is sent. A worker whose memory runs out (std::bad_alloc) still ends with a
// message: install and upgrade with the out-of-memory error, the uninstall, whose other
// steps still run, with its end. Any other exception is a fault of the program and ends
// it (std::terminate).
#pragma once

#include <windows.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "common/failure.h"
#include "package/manifest.h"
#include "package/payload_cipher.h"

constexpr UINT WM_SETUP_DONE = WM_USER + 1001;          // 2025, sent
constexpr UINT WM_SETUP_ERROR = WM_USER + 1002;         // 2026, sent, wParam = text
constexpr UINT WM_SETUP_PROGRESS = WM_USER + 1003;      // 2027, posted
constexpr UINT WM_UNINSTALL_PROGRESS = WM_USER + 1002;  // 2026 on the uninstall page, posted

enum class WorkerKind { Install, Uninstall, Upgrade };

// The page's progress value and stop flag are shared with its worker without a lock: one
// aligned 32-bit word and one byte, as atomics of the same size.
static_assert(sizeof(std::atomic<int32_t>) == sizeof(int32_t) && std::atomic<int32_t>::is_always_lock_free);
static_assert(sizeof(std::atomic<uint8_t>) == sizeof(uint8_t) && std::atomic<uint8_t>::is_always_lock_free);

struct WorkerContext {
  explicit WorkerContext(WorkerKind k) : kind(k) {}
  WorkerContext(const WorkerContext&) = delete;
  WorkerContext& operator=(const WorkerContext&) = delete;

  const WorkerKind kind;
  HWND window = nullptr;         // the progress page: receiver of every message
  std::atomic<int32_t>* progress = nullptr;  // the page's progress value, 0-100
  std::atomic<uint8_t>* stop = nullptr;      // install only: the page's StopFlag, nonzero = stop
  std::wstring ServerExecutablePath;  // install only: install folder + "quavserver.exe"
  PackageManifest manifest;      // read afresh at the start of every run
  PayloadKey key{};              // the payload key obtained for this run
};

// One context per worker kind, for the whole process. A start overwrites window,
// progress and stop; everything else stays from the last run until the next one.
extern WorkerContext InstallWorkerContext;
extern WorkerContext UninstallWorkerContext;
extern WorkerContext UpgradeWorkerContext;

// Each returns the new thread's handle, null when none could be created. The caller owns
// and closes it; the worker's outcome comes only through the messages.
HANDLE StartInstallWorker(HWND page, std::atomic<int32_t>* progress, std::atomic<uint8_t>* stopFlag);
HANDLE StartUninstallWorker(HWND page, std::atomic<int32_t>* progress);
HANDLE StartUpgradeWorker(HWND page, std::atomic<int32_t>* progress);

// Reads the manifest resource of the program's own module into the context. On failure
// the install and upgrade workers report "不正确的安装文件。", the uninstall worker
// nothing. For the install, a stop requested by then also counts as failure (silent).
bool ReadManifestResource(WorkerContext& context);

void RunInstall(WorkerContext& context);
void RunUninstall(WorkerContext& context);
void RunUpgrade(WorkerContext& context);

namespace tolvane {

// Sends WM_SETUP_ERROR with the text of `failure` (FailureText) and waits until the page
// has handled it: the one place where the install and upgrade workers tell a failure.
void ReportFailure(const WorkerContext& context, const Failure& failure);

// PostProgress and StopRequested live in engine/worker_signals.cpp, which test builds
// replace to act on the worker thread at these points (tests/engine/worker_hooks.h).

// Writes the progress value, then posts `message` so the page reads it (the posted
// message orders the read after the write: the value itself is written relaxed).
void PostProgress(const WorkerContext& context, int32_t value, UINT message);

// The places where the install worker looks at the stop flag.
enum class StopPoint { ManifestRead, KeyObtained, PayloadDeciphered, BeforeEntry, AfterLastEntry };

// True when the context has a stop flag and it is set. `entry` is the index of the
// manifest entry about to be handled (BeforeEntry only).
bool StopRequested(const WorkerContext& context, StopPoint point, size_t entry = 0);

}  // namespace tolvane
