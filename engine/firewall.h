// Registration of the server executable with the Windows Firewall's list of authorized
// applications, in the standard profile.
#pragma once

#include <windows.h>
#include <netfw.h>

#include <functional>
#include <string>

// Adds `executablePath` under `entryName` unless it is already listed and enabled.
// False when the firewall objects are unavailable, the firewall is off, or the entry
// cannot be added. Relies on COM being initialised on the calling thread.
bool AllowServerThroughFirewall(const std::wstring& executablePath, const std::wstring& entryName);

namespace tolvane {

// Where the firewall objects come from: the system's classes in the program, fakes in
// tests. Each call hands out one new reference that the caller releases.
struct FirewallObjects {
  std::function<HRESULT(INetFwMgr**)> CreateManager;
  std::function<HRESULT(INetFwAuthorizedApplication**)> CreateApplication;
};

FirewallObjects SystemFirewallObjects();

bool AllowThroughFirewall(const FirewallObjects& objects, const std::wstring& executablePath,
                          const std::wstring& entryName);

}  // namespace tolvane
