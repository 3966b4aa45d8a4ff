// Removal of an installation: the package's files and folders below the install folder
// and the shortcuts the install made. Nothing here fails or reports anything but
// progress; a file that cannot be removed because it is in use, and the folders that
// would be left empty without it, are marked for removal at the next restart.
#pragma once

#include <cstdint>
#include <string>

struct WorkerContext;

// Deletes every file the context's manifest lists below the install folder (clearing
// read-only, hidden and system first), then the listed folders deepest first, then the
// install folder itself; folders that still hold anything else stay. What an install run
// left (engine/install_run.h) goes as well. Posts
// WM_UNINSTALL_PROGRESS after each entry, from `base` to `base + span`. An empty manifest
// touches nothing. Names that would leave the install folder are passed over, and so is
// the whole list when the install folder is not a folder below a drive or share root.
bool RemoveInstalledFiles(WorkerContext& context, int32_t base, int32_t span);

// Deletes the desktop shortcut and the program group's shortcut, then the group folder
// if that has become empty.
void RemoveShortcuts(WorkerContext& context);

namespace tolvane {

// base + handled * span / total, truncated like the integer division of the page's bar.
// `total` must not be 0.
int32_t RemovalProgress(int32_t base, int32_t span, int32_t handled, int32_t total);

// True when `folder` is a folder the uninstall may work in: a drive ("X:\") or share
// ("\\server\share\") root followed by at least one plain folder name, ending with "\",
// with no ".", ".." or empty level, no "/" and no wildcard. An empty, relative, rooted
// but driveless, bare-drive, root or device path is refused.
bool IsRemovableInstallFolder(const std::wstring& folder);

}  // namespace tolvane
