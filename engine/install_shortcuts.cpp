// The install worker's shortcut steps: the Start-menu program group and the desktop.
#include "engine/error_texts.h"
#include "engine/shell_links.h"
#include "engine/worker.h"
#include "state/installed_product.h"

bool CreateProgramGroup(WorkerContext& context) {
  std::wstring group;
  if (!GetSpecialFolderPath(tolvane::kCommonProgramsFolder, group)) {
    tolvane::ReportError(context, tolvane::kProgramGroupErrorText);
    return false;
  }
  group += tolvane::kProgramGroupName;
  // Whatever already bears the name is used as it is.
  if (GetFileAttributesW(group.c_str()) == INVALID_FILE_ATTRIBUTES && !CreateDirectoryW(group.c_str(), nullptr)) {
    tolvane::ReportError(context, tolvane::kProgramGroupErrorText);
    return false;
  }
  // A shortcut that cannot be saved does not stop the install.
  CreateShortcut(context.ServerExecutablePath.c_str(), tolvane::kShortcutName, group.c_str(), 0,
                 InstalledProduct().InstallPath.c_str(), L"", nullptr, 0, SW_SHOWNORMAL, nullptr);
  return true;
}

void CreateDesktopShortcut(WorkerContext& context) {
  CreateShortcut(context.ServerExecutablePath.c_str(), tolvane::kShortcutName, nullptr,
                 tolvane::kCommonDesktopFolder, InstalledProduct().InstallPath.c_str(), L"", nullptr, 0,
                 SW_SHOWMAXIMIZED, nullptr);
}
