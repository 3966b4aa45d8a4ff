// A gate in the install worker of a test build of setup.exe: when the end-to-end test
// has created both events, the worker halts just before it looks at its stop flag ahead
// of package entry kGateEntry, signals kGateReached and waits until kGateOpen is set.
// This holds an install half-way for as long as a test needs, without timing.
#pragma once

#include <cstddef>

namespace tolvane::drive {

inline constexpr wchar_t kGateReached[] = L"TolvaneE2E.InstallGateReached";  // auto-reset
inline constexpr wchar_t kGateOpen[] = L"TolvaneE2E.InstallGateOpen";        // manual-reset
inline constexpr size_t kGateEntry = 10;

}  // namespace tolvane::drive
