// The version-information functions of VERSION.dll, loaded from the system folder when
// first needed. VERSION.dll is not a KnownDLL: imported statically, it would be looked
// for in the setup program's own folder first.
#pragma once

#include <windows.h>

struct VersionFunctions {
  DWORD(WINAPI* InfoSize)(LPCWSTR file, LPDWORD ignored);                         // GetFileVersionInfoSizeW
  BOOL(WINAPI* Info)(LPCWSTR file, DWORD ignored, DWORD size, LPVOID block);      // GetFileVersionInfoW
  BOOL(WINAPI* QueryValue)(LPCVOID block, LPCWSTR path, LPVOID* value, PUINT units);  // VerQueryValueW
};

// The functions, loaded once for the life of the process; null when the DLL or one of
// them is missing (the version then reads as unknown).
const VersionFunctions* LoadVersionFunctions();
