// The install worker's shortcut steps: the Start-menu program group and the desktop.
#include "engine/file_calls.h"
#include "engine/shell_links.h"
#include "engine/worker.h"
#include "state/installed_product.h"

bool CreateProgramGroup(WorkerContext& context) {
  std::wstring group;
  using tolvane::Failure;
  if (!GetSpecialFolderPath(tolvane::kCommonProgramsFolder, group)) {
    tolvane::ReportFailure(context, tolvane::Failed(Failure::What::GroupNotMade));
    return false;
  }
  group += tolvane::kProgramGroupName;
  // Whatever already bears the name is used as it is.
  if (tolvane::files::Attributes(group) == INVALID_FILE_ATTRIBUTES && !tolvane::files::MakeFolder(group)) {
    tolvane::ReportFailure(context, tolvane::Failed(Failure::What::GroupNotMade, group, GetLastError()));
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
