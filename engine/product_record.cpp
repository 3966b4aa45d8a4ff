#include "engine/product_record.h"

#include "engine/registry_key.h"
#include "engine/worker.h"
#include "state/installed_product.h"
#include "state/product_names.h"

namespace {
// The user's settings of this version below HKEY_CURRENT_USER\SOFTWARE\QUAV_SRV.
constexpr wchar_t kUserSettingsName[] = L"1.0";
}  // namespace

bool WriteProductRecord(WorkerContext& context) {
  const InstalledProductRecord& record = InstalledProduct();
  RegistryKey key;
  LONG result = key.CreateKey(HKEY_LOCAL_MACHINE, tolvane::kProductKey, RegistryKey::kReadWrite);
  if (result == ERROR_SUCCESS) {
    result = key.WriteStringValue(tolvane::kUserNameValue, record.EnteredUserName.c_str(), REG_SZ);
  }
  if (result == ERROR_SUCCESS) {
    result = key.WriteStringValue(tolvane::kUserCompanyValue, record.EnteredUserCompany.c_str(), REG_SZ);
  }
  if (result == ERROR_SUCCESS) {
    result = key.WriteStringValue(tolvane::kInstallPathValue, record.InstallPath.c_str(), REG_SZ);
  }
  if (result != ERROR_SUCCESS) {
    tolvane::ReportFailure(context, tolvane::Failed(tolvane::Failure::What::RecordNotWritten, tolvane::kProductKey,
                                                    static_cast<uint32_t>(result)));
    return false;
  }
  // (The key is closed when its owner goes; a close that fails leaves nothing unwritten.)
  return true;
}

// Nothing is reported (the uninstall never fails): a key that cannot be removed stays.
void DeleteProductRecord() {
  {
    RegistryKey software;
    if (software.CreateKey(HKEY_LOCAL_MACHINE, tolvane::kSoftwareKey, RegistryKey::kReadWrite) == ERROR_SUCCESS) {
      software.DeleteChildKey(tolvane::kProductKeyName);
    }
  }
  RegistryKey software;
  if (software.CreateKey(HKEY_CURRENT_USER, tolvane::kSoftwareKey, RegistryKey::kReadWrite) != ERROR_SUCCESS) return;
  RegistryKey product;
  if (product.OpenKey(software.get(), tolvane::kProductKeyName, RegistryKey::kReadWrite) != ERROR_SUCCESS) return;
  product.DeleteKeyTree(kUserSettingsName);
}
