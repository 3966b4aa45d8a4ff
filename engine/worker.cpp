#include "engine/worker.h"

#include <process.h>

#include <exception>
#include <new>

#include "common/win_owners.h"
#include "engine/error_texts.h"
#include "engine/firewall.h"
#include "engine/install_run.h"
#include "engine/package_files.h"
#include "engine/product_record.h"
#include "engine/shell_links.h"
#include "engine/uninstall.h"
#include "package/key_provider.h"
#include "state/installed_product.h"
#include "state/product_names.h"

WorkerContext InstallWorkerContext(WorkerKind::Install);
WorkerContext UninstallWorkerContext(WorkerKind::Uninstall);
WorkerContext UpgradeWorkerContext(WorkerKind::Upgrade);

namespace tolvane {
namespace {

bool IsZeroKey(const PayloadKey& key) {
  for (uint8_t b : key) {
    if (b) return false;
  }
  return true;
}

// Whether this worker thread has sent its closing message (done or an error); after it
// nothing more may be sent.
thread_local bool t_closed = false;

void SendDone(const WorkerContext& context) {
  t_closed = true;
  SendMessageW(context.window, WM_SETUP_DONE, 0, 0);
}

// Runs one uninstall step; a step whose memory runs out is passed over like one that
// fails, so that the steps after it still run.
template <typename Step>
void Attempt(Step step) {
  try {
    step();
  } catch (const std::bad_alloc&) {
    // The uninstall reports nothing: what the step did not remove stays.
  }
}

template <void (*Body)(WorkerContext&)>
unsigned __stdcall ThreadProcedure(void* argument) {
  WorkerContext& context = *static_cast<WorkerContext*>(argument);
  t_closed = false;
  // Memory that runs out must not take the wizard down with the worker, nor leave its
  // page waiting for a message that never comes.
  bool outOfMemory = false;
  try {
    Body(context);
  } catch (const std::bad_alloc&) {
    outOfMemory = true;
  }
  if (outOfMemory && !t_closed) {
    if (context.kind == WorkerKind::Uninstall) {
      SendDone(context);  // the uninstall reports nothing but its end
    } else if (!context.stop || !context.stop->load()) {
      // A stopped install is being closed by its page, which waits for it.
      ReportFailure(context, Failed(Failure::What::OutOfMemory));
    }
  }
  // What a finished run replaced goes last, while the user already sees the end (what it
  // cannot remove, the next start of setup removes).
  if (context.kind != WorkerKind::Uninstall) ClearUpFinishedRun();
  return 0;
}

HANDLE Start(WorkerContext& context, unsigned(__stdcall* procedure)(void*)) {
  return reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, procedure, &context, 0, nullptr));
}

}  // namespace

void ReportFailure(const WorkerContext& context, const Failure& failure) {
  const wchar_t* text = FailureText(failure);
  t_closed = true;
  SendMessageW(context.window, WM_SETUP_ERROR, reinterpret_cast<WPARAM>(text), 0);
}

}  // namespace tolvane

using tolvane::Failed;
using tolvane::Failure;
using tolvane::PostProgress;
using tolvane::ReportFailure;
using tolvane::StopPoint;
using tolvane::StopRequested;

HANDLE StartInstallWorker(HWND page, std::atomic<int32_t>* progress, std::atomic<uint8_t>* stopFlag) {
  InstallWorkerContext.window = page;
  InstallWorkerContext.progress = progress;
  InstallWorkerContext.stop = stopFlag;
  return tolvane::Start(InstallWorkerContext, tolvane::ThreadProcedure<RunInstall>);
}

HANDLE StartUninstallWorker(HWND page, std::atomic<int32_t>* progress) {
  UninstallWorkerContext.window = page;
  UninstallWorkerContext.progress = progress;
  return tolvane::Start(UninstallWorkerContext, tolvane::ThreadProcedure<RunUninstall>);
}

HANDLE StartUpgradeWorker(HWND page, std::atomic<int32_t>* progress) {
  UpgradeWorkerContext.window = page;
  UpgradeWorkerContext.progress = progress;
  return tolvane::Start(UpgradeWorkerContext, tolvane::ThreadProcedure<RunUpgrade>);
}

bool ReadManifestResource(WorkerContext& context) {
  bool read = false;
  {
    tolvane::LoadedResource resource(GetModuleHandleW(nullptr), ManifestResourceId, RT_RCDATA);
    if (resource.found()) {
      ByteInputStream in(resource.data(), resource.size());
      read = ReadManifest(in, context.manifest);
    }
  }
  if (!read) {
    if (context.kind != WorkerKind::Uninstall) ReportFailure(context, Failed(Failure::What::BadPackage));
    return false;
  }
  return !StopRequested(context, StopPoint::ManifestRead);
}

void RunInstall(WorkerContext& context) {
  if (!ReadManifestResource(context)) return;
  if (!KeyProvider(context.manifest.KeyBlock, context.key)) {
    // Without a key nothing can be installed; say so rather than leave the page waiting.
    ReportFailure(context, Failed(Failure::What::BadPackage));
    return;
  }
  if (StopRequested(context, StopPoint::KeyObtained)) return;
  if (!ExtractPackage(context, 20, 60)) return;

  // From here on the install runs to its end: the stop flag is not looked at after extraction.
  context.ServerExecutablePath = InstalledProduct().InstallPath + tolvane::kServerExecutable;
  if (!CreateProgramGroup(context)) return;
  // (Its result is not looked at: the program group holds the same shortcut.)
  CreateDesktopShortcut(context);
  if (!WriteProductRecord(context)) return;
  // The firewall lists the server under the name its shortcuts bear.
  // (Its result is not looked at: a firewall that refuses the entry leaves a working
  // install, whose server the user can let through.)
  AllowServerThroughFirewall(context.ServerExecutablePath, tolvane::kShortcutName);
  PostProgress(context, 100, WM_SETUP_PROGRESS);
  tolvane::SendDone(context);
}

void RunUninstall(WorkerContext& context) {
  // Nothing here is reported but progress: a missing manifest only means that no
  // package file can be named for removal, and everything else is still removed.
  // A step whose memory runs out is passed over like one that fails.
  using tolvane::Attempt;
  Attempt([&] {
    if (ReadManifestResource(context)) RemoveInstalledFiles(context, 0, 50);
  });
  Attempt([&] { RemoveShortcuts(context); });
  PostProgress(context, 80, WM_UNINSTALL_PROGRESS);
  Attempt([] { DeleteProductRecord(); });
  tolvane::SendDone(context);
}

void RunUpgrade(WorkerContext& context) {
  if (!ReadManifestResource(context)) return;
  // An installed server newer than the package is left as it is.
  if (InstalledProduct().ServerVersion > context.manifest.Version) {
    tolvane::SendDone(context);
    return;
  }
  if (!KeyProvider(context.manifest.KeyBlock, context.key) || tolvane::IsZeroKey(context.key)) {
    ReportFailure(context, Failed(Failure::What::NoUpgradeKey));
    return;
  }
  PostProgress(context, 20, WM_SETUP_PROGRESS);
  if (!ExtractPackage(context, 20, 80)) return;
  tolvane::SendDone(context);
}
