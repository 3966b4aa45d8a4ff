// How safely a setup executable starts, read from the file: which DLLs Windows would
// look for in the program's own folder (a folder such as Downloads, which others write
// into, while the program runs elevated), the load configuration's DependentLoadFlags,
// the header's DYNAMIC_BASE, NX_COMPAT and TERMINAL_SERVER_AWARE, and what the
// application manifest asks for: execution level, supported Windows versions and DPI
// awareness.
//
// Windows takes a DLL that is not a KnownDLL (the list under HKLM\SYSTEM\...\Session
// Manager\KnownDLLs) from the program's folder first. The KnownDLLs counted here are
// those that Windows 7 to 11 all list; comctl32.dll is safe only when the manifest binds
// version 6 side by side; API sets (api-ms-win-*, ext-ms-*) are resolved by the loader
// itself.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tools/tolvane_pack/pe_resources.h"

namespace tolvane::pack::pe {

struct Hardening {
  std::vector<std::string> imports;            // DLL names of the import and delay-import tables, as stored
  std::vector<std::string> outsideKnownDlls;   // those Windows would look for beside the program
  bool loadConfig = false;                     // a load configuration directory is present
  uint16_t dependentLoadFlags = 0;             // its DependentLoadFlags (0 when absent)
  bool dynamicBase = false, nxCompat = false, terminalServerAware = false;
  bool manifest = false;                       // an RT_MANIFEST 1 resource is present
  std::string executionLevel;                  // requestedExecutionLevel's level, empty when none
  bool commonControls6 = false;                // depends on Microsoft.Windows.Common-Controls 6
  std::vector<std::string> supportedOs;        // "Vista", "7", "8", "8.1", "10/11", or an unknown Id as given
  std::string dpiAwareness = "unaware";        // what Windows 10 makes of dpiAwareness/dpiAware:
                                               // "unaware", "system", "per-monitor", "per-monitor v2"
  std::vector<std::string> problems;           // tables that could not be read, each a short reason
};

// LOAD_LIBRARY_SEARCH_SYSTEM32: the only folder a hardened program's imports come from.
inline constexpr uint16_t kLoadLibrarySearchSystem32 = 0x0800;

// A DLL name (any case, with or without ".dll") of the KnownDLLs counted here.
bool IsKnownDll(const std::string& dll);

Hardening AnalyseHardening(const Image& image);
// What a release must not ship with, each a sentence starting with `file`.
void HardeningFaults(const Hardening& hardening, const std::string& file, std::vector<std::string>& faults);
// Lines "name: value\n" for inspect's report, and the members of its JSON object.
std::string HardeningText(const Hardening& hardening);
void AddHardeningJson(const Hardening& hardening, nlohmann::ordered_json& report);

}  // namespace tolvane::pack::pe
