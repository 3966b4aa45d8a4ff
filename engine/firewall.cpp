#include "engine/firewall.h"

#include "common/win_owners.h"

namespace tolvane {
namespace {

// Class identifiers of the firewall objects (mingw's import libraries do not carry them).
const CLSID kFirewallManagerClass = {0x304CE942, 0x6E39, 0x40D8, {0x94, 0x3A, 0xB9, 0x13, 0xC4, 0x0C, 0x9C, 0xD4}};
const CLSID kAuthorizedApplicationClass = {
    0xEC9846B3, 0x2762, 0x4A6B, {0xA2, 0x14, 0x6A, 0xCB, 0x60, 0x34, 0x62, 0xD2}};

// The standard profile, with the manager and policy it came from already released.
bool GetStandardProfile(const FirewallObjects& objects, ComPtr<INetFwProfile>& profile) {
  ComPtr<INetFwMgr> manager;
  if (FAILED(objects.CreateManager(manager.put())) || !manager) return false;
  ComPtr<INetFwPolicy> policy;
  if (FAILED(manager->get_LocalPolicy(policy.put())) || !policy) return false;
  return SUCCEEDED(policy->GetProfileByType(NET_FW_PROFILE_STANDARD, profile.put())) && profile;
}

enum class Listing { kFailed, kNotListed, kListedEnabled };

Listing LookUp(INetFwProfile* profile, const std::wstring& executablePath) {
  ComPtr<INetFwAuthorizedApplications> applications;
  if (FAILED(profile->get_AuthorizedApplications(applications.put())) || !applications) return Listing::kFailed;
  UniqueBstr path(executablePath.c_str());
  if (!path) return Listing::kFailed;
  ComPtr<INetFwAuthorizedApplication> entry;
  if (FAILED(applications->Item(path.get(), entry.put())) || !entry) return Listing::kNotListed;
  VARIANT_BOOL enabled = VARIANT_FALSE;
  if (FAILED(entry->get_Enabled(&enabled))) return Listing::kFailed;
  // A disabled entry counts as absent: a new one for the same path is added.
  return enabled != VARIANT_FALSE ? Listing::kListedEnabled : Listing::kNotListed;
}

bool AddEntry(const FirewallObjects& objects, INetFwProfile* profile, const std::wstring& executablePath,
              const std::wstring& entryName) {
  ComPtr<INetFwAuthorizedApplications> applications;
  if (FAILED(profile->get_AuthorizedApplications(applications.put())) || !applications) return false;
  ComPtr<INetFwAuthorizedApplication> entry;
  if (FAILED(objects.CreateApplication(entry.put())) || !entry) return false;
  UniqueBstr path(executablePath.c_str());
  if (!path || FAILED(entry->put_ProcessImageFileName(path.get()))) return false;
  UniqueBstr name(entryName.c_str());
  if (!name || FAILED(entry->put_Name(name.get()))) return false;
  return SUCCEEDED(applications->Add(entry.get()));
}

}  // namespace

FirewallObjects SystemFirewallObjects() {
  FirewallObjects objects;
  objects.CreateManager = [](INetFwMgr** out) {
    return CoCreateInstance(kFirewallManagerClass, nullptr, CLSCTX_INPROC_SERVER, __uuidof(INetFwMgr),
                            reinterpret_cast<void**>(out));
  };
  objects.CreateApplication = [](INetFwAuthorizedApplication** out) {
    return CoCreateInstance(kAuthorizedApplicationClass, nullptr, CLSCTX_INPROC_SERVER,
                            __uuidof(INetFwAuthorizedApplication), reinterpret_cast<void**>(out));
  };
  return objects;
}

bool AllowThroughFirewall(const FirewallObjects& objects, const std::wstring& executablePath,
                          const std::wstring& entryName) {
  ComPtr<INetFwProfile> profile;
  if (!GetStandardProfile(objects, profile)) return false;
  VARIANT_BOOL enabled = VARIANT_FALSE;
  if (FAILED(profile->get_FirewallEnabled(&enabled)) || enabled == VARIANT_FALSE) return false;
  switch (LookUp(profile.get(), executablePath)) {
    case Listing::kFailed:
      return false;
    case Listing::kListedEnabled:
      return true;
    case Listing::kNotListed:
      break;
  }
  return AddEntry(objects, profile.get(), executablePath, entryName);
}

}  // namespace tolvane

bool AllowServerThroughFirewall(const std::wstring& executablePath, const std::wstring& entryName) {
  return tolvane::AllowThroughFirewall(tolvane::SystemFirewallObjects(), executablePath, entryName);
}
