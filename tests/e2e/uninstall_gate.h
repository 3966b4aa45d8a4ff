// A gate in the uninstall worker of a test build of setup.exe: when the end-to-end test
// has created both events, the worker halts right after its first progress notice,
// signals kUninstallGateReached and waits until kUninstallGateOpen is set. The test can
// then act on the uninstall page while the uninstall is certainly still running.
#pragma once

namespace tolvane::drive {

inline constexpr wchar_t kUninstallGateReached[] = L"TolvaneE2E.UninstallGateReached";  // auto-reset
inline constexpr wchar_t kUninstallGateOpen[] = L"TolvaneE2E.UninstallGateOpen";        // manual-reset

}  // namespace tolvane::drive
