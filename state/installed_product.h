// What the wizard knows of an earlier installation of the server, and the user's entries.
//
// One record per process. The UI thread fills it (ReadInstalledProduct, the folder and
// user-information pages) before any worker starts; workers only read it, so it carries
// no lock.
#pragma once

#include <cstdint>
#include <string>

struct InstalledProductRecord {
  std::wstring UserName;      // as recorded by the last installation
  std::wstring UserCompany;   // as recorded; may be empty
  std::wstring InstallPath;   // recorded, default or confirmed folder; ends with '\' once
                              // a default or a confirmed folder is stored
  uint16_t ServerVersion = 0; // version number of the installed quavserver.exe, 0 if unknown
  bool Installed = false;     // a server executable with a non-zero version was found
  std::wstring EnteredUserName;     // trimmed entries of the user-information page
  std::wstring EnteredUserCompany;
};

// The process-wide record, created empty on first use.
InstalledProductRecord& InstalledProduct();

// Refreshes UserName, UserCompany, InstallPath, ServerVersion and Installed from
// HKLM\SOFTWARE\QUAV_SRV and the server executable, proposes the default folder when no
// folder is known, and returns Installed. Never shows anything to the user.
bool ReadInstalledProduct();

// Version number of the executable at `path`: from the FileVersion string "a, b, c, d"
// of its version resource, a * 256 + c (modulo 65536); 0 when it cannot be read.
uint16_t ReadServerVersion(const std::wstring& path);
