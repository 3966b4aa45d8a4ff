#include "engine/product_record.h"

#include "engine/error_texts.h"
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
  const bool written =
      key.CreateKey(HKEY_LOCAL_MACHINE, tolvane::kProductKey, RegistryKey::kReadWrite) == ERROR_SUCCESS &&
      key.WriteStringValue(tolvane::kUserNameValue, record.EnteredUserName.c_str(), REG_SZ) == ERROR_SUCCESS &&
      key.WriteStringValue(tolvane::kUserCompanyValue, record.EnteredUserCompany.c_str(), REG_SZ) == ERROR_SUCCESS &&
      key.WriteStringValue(tolvane::kInstallPathValue, record.InstallPath.c_str(), REG_SZ) == ERROR_SUCCESS;
  if (!written) {
    tolvane::ReportError(context, tolvane::kRegistryErrorText);
    return false;
  }
  key.CloseKey();
  return true;
}

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
