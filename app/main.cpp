// Entry point of setup.exe: everything the user sees is the wizard sheet.
#include <windows.h>
#include <commctrl.h>
#include <ole2.h>

#include "app/wizard_application.h"
#include "common/system_library.h"
#include "common/win_owners.h"
#include "engine/install_run.h"

namespace {

// Every common-control class the pages may use, except the internet classes.
constexpr DWORD kControlClasses = ICC_WIN95_CLASSES | ICC_DATE_CLASSES | ICC_USEREX_CLASSES | ICC_COOL_CLASSES |
                                  ICC_PAGESCROLLER_CLASS | ICC_NATIVEFNTCTL_CLASS;
static_assert(kControlClasses == 0x37FF, "control classes");

// How long the program waits at its end for a worker still running, beyond the ten
// seconds the install page already gave it after the user confirmed cancelling.
constexpr DWORD kWorkerExitWaitMs = 20000;

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR /*commandLine*/, int /*show*/) {
  // Before anything loads a DLL: from here on only the system folder is searched.
  tolvane::RestrictDllSearch();
  // None of these failures stops the wizard: it runs with whatever is available.
  const HRESULT ole = OleInitialize(nullptr);
  INITCOMMONCONTROLSEX controls = {sizeof(controls), kControlClasses};
  InitCommonControlsEx(&controls);
  tolvane::UniqueModule richEdit(tolvane::LoadSystemLibrary(L"RICHED20.DLL"));  // the licence page's control
  CWizardModule::Init(instance);
  // A run that a setup process ended part-way left a journal: the folder is made whole
  // before the welcome page reads what is installed.
  tolvane::RecoverUnfinishedRun();
  {
    WizardApplication application;
    application.RunWizard();
    // A worker told to stop may still be running (the cancel wait is bounded): it uses
    // its page's members and its context, so nothing is released before it has ended.
    // One that does not end in time ends with the process, before anything is freed;
    // one that is removing what a finished run replaced is let finish (ended, it would
    // leave that to the next start of setup).
    if (!application.WaitForWorkers(kWorkerExitWaitMs) &&
        !(tolvane::ClearingUpFinishedRun() && application.WaitForWorkers(INFINITE))) {
      TerminateProcess(GetCurrentProcess(), 0);
    }
    richEdit.reset();
    CWizardModule::Term();
    if (SUCCEEDED(ole)) OleUninitialize();
  }  // the pages go here, last to first
  return 0;
}
