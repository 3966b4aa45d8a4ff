/* A DLL planted beside setup.exe under the name of a DLL the program uses. It exports
   nothing and does one thing when loaded: it leaves "<its own path>.mark", the proof
   that the program took it from its own folder. Built without the C runtime, so that it
   imports nothing but kernel32 (it is also planted as msvcrt.dll). */
#include <windows.h>

BOOL WINAPI PlantedDllMain(HINSTANCE self, DWORD reason, LPVOID reserved) {
  (void)reserved;
  if (reason == DLL_PROCESS_ATTACH) {
    wchar_t path[MAX_PATH + 8];
    const DWORD length = GetModuleFileNameW(self, path, MAX_PATH);
    if (length > 0 && length < MAX_PATH) {
      lstrcatW(path, L".mark");
      HANDLE mark = CreateFileW(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
      if (mark != INVALID_HANDLE_VALUE) CloseHandle(mark);
    }
  }
  return TRUE;
}
