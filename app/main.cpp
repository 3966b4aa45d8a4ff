// Entry point of setup.exe: everything the user sees is the wizard sheet.
#include <windows.h>
#include <commctrl.h>
#include <ole2.h>

#include "app/wizard_application.h"
#include "common/win_owners.h"

namespace {

// Every common-control class the pages may use, except the internet classes.
constexpr DWORD kControlClasses = ICC_WIN95_CLASSES | ICC_DATE_CLASSES | ICC_USEREX_CLASSES | ICC_COOL_CLASSES |
                                  ICC_PAGESCROLLER_CLASS | ICC_NATIVEFNTCTL_CLASS;
static_assert(kControlClasses == 0x37FF, "control classes");

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR /*commandLine*/, int /*show*/) {
  // None of these failures stops the wizard: it runs with whatever is available.
  const HRESULT ole = OleInitialize(nullptr);
  INITCOMMONCONTROLSEX controls = {sizeof(controls), kControlClasses};
  InitCommonControlsEx(&controls);
  tolvane::UniqueModule richEdit(LoadLibraryW(L"RICHED20.DLL"));  // the licence page's control
  CWizardModule::Init(instance);
  {
    WizardApplication application;
    application.RunWizard();
    richEdit.reset();
    CWizardModule::Term();
    if (SUCCEEDED(ole)) OleUninitialize();
  }  // the pages go here, last to first
  return 0;
}
