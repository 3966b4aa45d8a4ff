/* Loaded by a WH_CALLWNDPROC hook into the process that shows a message box. Icon
   handles mean something only in the process that loaded them, so the comparison with
   the system icons is made there. Plain C: the DLL must not need any runtime DLL. */
#include <windows.h>

#include "tests/support/msgbox_probe.h"

/* Same order as tolvane::test::MessageBoxIcon: None, Error, Question, Warning,
   Information, Unknown. */
static int IconKind(HICON icon) {
  if (!icon) return 0;
  if (icon == LoadIconW(NULL, IDI_HAND)) return 1;
  if (icon == LoadIconW(NULL, IDI_QUESTION)) return 2;
  if (icon == LoadIconW(NULL, IDI_EXCLAMATION)) return 3;
  if (icon == LoadIconW(NULL, IDI_ASTERISK)) return 4;
  return 5;
}

__declspec(dllexport) LRESULT CALLBACK TolvaneMessageBoxProbe(int code, WPARAM wParam, LPARAM lParam) {
  if (code == HC_ACTION) {
    const CWPSTRUCT* call = (const CWPSTRUCT*)lParam;
    if (call->message == RegisterWindowMessageW(TOLVANE_PROBE_MESSAGE)) {
      HICON icon = (HICON)SendMessageW(call->hwnd, STM_GETICON, 0, 0);
      SetPropW(call->hwnd, TOLVANE_PROBE_PROPERTY, (HANDLE)(INT_PTR)(IconKind(icon) + 1));
    }
  }
  return CallNextHookEx(NULL, code, wParam, lParam);
}
