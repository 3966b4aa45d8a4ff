// Shell special folders and shortcut files.
#pragma once

#include <windows.h>

#include <string>

struct WorkerContext;

// Path of a shell special folder (a CSIDL number) followed by "\".
bool GetSpecialFolderPath(int specialFolder, std::wstring& path);

// Writes the shortcut file folder + name + ".lnk", overwriting one that exists.
// `folder` null means the special folder `specialFolder`; a null or empty working folder,
// arguments or icon path is not set; a negative show command is not set.
// Initialises COM on the calling thread and leaves it initialised.
bool CreateShortcut(const wchar_t* target, const wchar_t* name, const wchar_t* folder, int specialFolder,
                    const wchar_t* workingFolder, const wchar_t* description, const wchar_t* iconPath,
                    int iconIndex, int showCommand, const wchar_t* arguments);

// The Start-menu program group with its shortcut to the server. Reports its own failure
// to the page; a shortcut that cannot be saved is not a failure.
bool CreateProgramGroup(WorkerContext& context);

// The all-users desktop shortcut; any failure is silent.
void CreateDesktopShortcut(WorkerContext& context);

namespace tolvane {
// Shell folder numbers (CSIDL), here so that callers need not include the shell headers.
inline constexpr int kCommonProgramsFolder = 23;  // CSIDL_COMMON_PROGRAMS
inline constexpr int kCommonDesktopFolder = 25;   // CSIDL_COMMON_DESKTOPDIRECTORY
inline constexpr wchar_t kProgramGroupName[] = L"Tolvane翻译软件";
inline constexpr wchar_t kShortcutName[] = L"Tolvane翻译服务器";
// Every shortcut file is its name followed by this.
inline constexpr wchar_t kLinkExtension[] = L".lnk";
}  // namespace tolvane
