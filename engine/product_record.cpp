#include "engine/product_record.h"

#include "engine/error_texts.h"
#include "engine/registry_key.h"
#include "engine/worker.h"
#include "state/installed_product.h"

namespace {
constexpr wchar_t kSoftwareKey[] = L"SOFTWARE\\";
constexpr wchar_t kProductKey[] = L"SOFTWARE\\QUAV_SRV";
constexpr wchar_t kProductName[] = L"QUAV_SRV";
constexpr wchar_t kUserSettingsName[] = L"1.0";
}  // namespace

bool WriteProductRecord(WorkerContext& context) {
  const InstalledProductRecord& record = InstalledProduct();
  RegistryKey key;
  const bool written =
      key.CreateKey(HKEY_LOCAL_MACHINE, kProductKey, RegistryKey::kReadWrite) == ERROR_SUCCESS &&
      key.WriteStringValue(L"UserName", record.EnteredUserName.c_str(), REG_SZ) == ERROR_SUCCESS &&
      key.WriteStringValue(L"UserCompany", record.EnteredUserCompany.c_str(), REG_SZ) == ERROR_SUCCESS &&
      key.WriteStringValue(L"InstallPath", record.InstallPath.c_str(), REG_SZ) == ERROR_SUCCESS;
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
    if (software.CreateKey(HKEY_LOCAL_MACHINE, kSoftwareKey, RegistryKey::kReadWrite) == ERROR_SUCCESS) {
      software.DeleteChildKey(kProductName);
    }
  }
  RegistryKey software;
  if (software.CreateKey(HKEY_CURRENT_USER, kSoftwareKey, RegistryKey::kReadWrite) != ERROR_SUCCESS) return;
  RegistryKey product;
  if (product.OpenKey(software.get(), kProductName, RegistryKey::kReadWrite) != ERROR_SUCCESS) return;
  product.DeleteKeyTree(kUserSettingsName);
}
