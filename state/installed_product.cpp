#include "state/installed_product.h"

#include <windows.h>

#include <algorithm>
#include <cwchar>
#include <new>
#include <vector>

#include "common/registry_string.h"
#include "common/win_owners.h"
#include "state/product_names.h"
#include "state/version_library.h"
#include "state/version_text.h"

namespace {

constexpr wchar_t kProductFolder[] = L"QUAV_SRV\\";
constexpr wchar_t kLastResortProgramFiles[] = L"C:\\Program Files\\";

// Registry strings are read into a fixed buffer: 511 characters and the terminator.
constexpr DWORD kValueUnits = 512;
// Environment values longer than MAX_PATH - 1 are treated as absent.
constexpr DWORD kEnvironmentUnits = MAX_PATH;

// Reads a string value by the rules of ReadRegistryString; `out` is replaced only on
// success. Absent values and values too long for the buffer fail alike.
bool ReadStringValue(HKEY key, const wchar_t* name, std::wstring& out) {
  wchar_t buffer[kValueUnits];
  if (tolvane::ReadRegistryString(key, name, buffer, kValueUnits) != ERROR_SUCCESS) return false;
  // Embedded terminators end the string, as they would for any C-string reader.
  out = buffer;
  return true;
}

// Reads an environment variable whose value is 1 to MAX_PATH - 1 units long.
bool ReadEnvironmentFolder(const wchar_t* name, std::wstring& out) {
  wchar_t buffer[kEnvironmentUnits];
  const DWORD length = GetEnvironmentVariableW(name, buffer, kEnvironmentUnits);
  if (length < 1 || length > kEnvironmentUnits - 1) return false;
  out.assign(buffer, length);
  return true;
}

// A 32-bit process under WoW64 sees PROCESSOR_ARCHITEW6432; it then installs below the
// 32-bit Program Files folder. Otherwise ProgramFiles is the 32-bit folder already.
std::wstring DefaultInstallFolder() {
  std::wstring folder;
  std::wstring architecture;
  if (ReadEnvironmentFolder(L"PROCESSOR_ARCHITEW6432", architecture)) {
    ReadEnvironmentFolder(L"ProgramFiles(x86)", folder);
  } else {
    ReadEnvironmentFolder(L"ProgramFiles", folder);
  }
  if (folder.empty()) folder = kLastResortProgramFiles;
  if (folder.back() != L'\\') folder += L'\\';
  folder += kProductFolder;
  return folder;
}

bool FileExists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// The FileVersion string of the U.S. English table, else of the Simplified Chinese one.
bool FindFileVersionText(const VersionFunctions& version, const void* versionInfo, std::wstring& text) {
  static const wchar_t* const kLookups[] = {
      L"\\StringFileInfo\\040904b0\\FileVersion",
      L"\\StringFileInfo\\080404b0\\FileVersion",
  };
  for (const wchar_t* lookup : kLookups) {
    void* value = nullptr;
    UINT units = 0;
    if (version.QueryValue(versionInfo, lookup, &value, &units) && value != nullptr) {
      // Bounded copy: a damaged resource need not carry its terminator.
      const wchar_t* begin = static_cast<const wchar_t*>(value);
      text.assign(begin, std::find(begin, begin + units, L'\0'));
      return true;
    }
  }
  return false;
}

}  // namespace

InstalledProductRecord& InstalledProduct() {
  static InstalledProductRecord record;
  return record;
}

uint16_t ReadServerVersion(const std::wstring& path) {
  const VersionFunctions* version = LoadVersionFunctions();
  if (!version) return 0;
  DWORD ignored = 0;
  const DWORD size = version->InfoSize(path.c_str(), &ignored);
  if (size == 0) return 0;

  std::vector<BYTE> versionInfo;
  try {
    versionInfo.resize(size);
  } catch (const std::bad_alloc&) {
    return 0;
  }
  if (!version->Info(path.c_str(), 0, size, versionInfo.data())) return 0;

  std::wstring text;
  if (!FindFileVersionText(*version, versionInfo.data(), text)) return 0;

  return VersionNumberOfText(text.c_str());
}

bool ReadInstalledProduct() {
  InstalledProductRecord& record = InstalledProduct();
  record.Installed = false;

  // No view flag: a 32-bit process on 64-bit Windows reads the 32-bit view, where the
  // 32-bit installer wrote the key.
  tolvane::UniqueHkey key;
  const bool keyOpened =
      RegOpenKeyExW(HKEY_LOCAL_MACHINE, tolvane::kProductKey, 0, KEY_READ, key.put()) == ERROR_SUCCESS;
  if (keyOpened) {
    ReadStringValue(key.get(), tolvane::kUserNameValue, record.UserName);
    ReadStringValue(key.get(), tolvane::kUserCompanyValue, record.UserCompany);
    ReadStringValue(key.get(), tolvane::kInstallPathValue, record.InstallPath);
  }

  if (keyOpened && !record.InstallPath.empty()) {
    // The recorded folder ends with a backslash; the name is appended as it stands.
    const std::wstring executable = record.InstallPath + tolvane::kServerExecutable;
    if (FileExists(executable)) {
      record.ServerVersion = ReadServerVersion(executable);
      record.Installed = record.ServerVersion != 0;
    }
  }

  if (record.InstallPath.empty()) record.InstallPath = DefaultInstallFolder();
  return record.Installed;
}
