// The names by which an installation of the server is found: its executable in the
// install folder and its registry record. The wizard reads them, the engine writes them,
// and the packaging tool takes the server's file name from here as well, so this header
// stays portable (no Windows headers).
#pragma once

// The server executable's file name as narrow text, which the packaging tool pastes into
// its messages; the program uses kServerExecutable below.
#define TOLVANE_SERVER_EXECUTABLE_NAME "quavserver.exe"
// The parts of the product's key path SOFTWARE\QUAV_SRV (below HKEY_LOCAL_MACHINE and
// HKEY_CURRENT_USER); undefined again at the end.
#define TOLVANE_SOFTWARE_KEY L"SOFTWARE\\"
#define TOLVANE_PRODUCT_KEY_NAME L"QUAV_SRV"

namespace tolvane {

inline constexpr char kServerExecutableName[] = TOLVANE_SERVER_EXECUTABLE_NAME;
// Appended to the install folder as it stands (the folder ends with a backslash).
inline constexpr wchar_t kServerExecutable[] = L"" TOLVANE_SERVER_EXECUTABLE_NAME;

inline constexpr wchar_t kSoftwareKey[] = TOLVANE_SOFTWARE_KEY;
inline constexpr wchar_t kProductKeyName[] = TOLVANE_PRODUCT_KEY_NAME;
inline constexpr wchar_t kProductKey[] = TOLVANE_SOFTWARE_KEY TOLVANE_PRODUCT_KEY_NAME;

// The record's REG_SZ values.
inline constexpr wchar_t kUserNameValue[] = L"UserName";
inline constexpr wchar_t kUserCompanyValue[] = L"UserCompany";
inline constexpr wchar_t kInstallPathValue[] = L"InstallPath";

}  // namespace tolvane

#undef TOLVANE_SOFTWARE_KEY
#undef TOLVANE_PRODUCT_KEY_NAME
