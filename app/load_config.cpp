// The program's load configuration (data directory 10): the linker points the directory
// at the symbol _load_config_used when it exists. Its DependentLoadFlags make Windows 10
// and later look for the DLLs that the program's own imports import in the system
// folder only, never in the (possibly shared) folder setup.exe was started from.
#include <windows.h>

#include <cstddef>
#include <cstdint>

#ifndef LOAD_LIBRARY_SEARCH_SYSTEM32
#define LOAD_LIBRARY_SEARCH_SYSTEM32 0x00000800
#endif

namespace {

// IMAGE_LOAD_CONFIG_DIRECTORY32 up to SecurityCookie, the 64 bytes that every Windows
// reads (XP and Server 2003 insist on exactly this size). Later fields (the safe
// exception handler table, control-flow guard) stay absent, so the loader applies none
// of them.
struct LoadConfig32 {
  uint32_t Size;
  uint32_t TimeDateStamp;
  uint16_t MajorVersion;
  uint16_t MinorVersion;
  uint32_t GlobalFlagsClear;
  uint32_t GlobalFlagsSet;
  uint32_t CriticalSectionDefaultTimeout;
  uint32_t DeCommitFreeBlockThreshold;
  uint32_t DeCommitTotalFreeThreshold;
  uint32_t LockPrefixTable;
  uint32_t MaximumAllocationSize;
  uint32_t VirtualMemoryThreshold;
  uint32_t ProcessHeapFlags;
  uint32_t ProcessAffinityMask;
  uint16_t CSDVersion;
  uint16_t DependentLoadFlags;
  uint32_t EditList;
  uint32_t SecurityCookie;
};
static_assert(sizeof(LoadConfig32) == 64 && offsetof(LoadConfig32, DependentLoadFlags) == 54, "load config layout");

}  // namespace

// The name the linker looks for (on i686 with the C symbol's leading underscore added).
extern "C" const LoadConfig32 _load_config_used = {
    sizeof(LoadConfig32), 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, LOAD_LIBRARY_SEARCH_SYSTEM32, 0, 0,
};
