#include "engine/uninstall.h"

#include <windows.h>

#include <set>
#include <vector>

#include "common/text_conversion.h"
#include "common/win_owners.h"
#include "engine/file_calls.h"
#include "engine/file_output.h"
#include "engine/install_run.h"
#include "engine/shell_links.h"
#include "engine/worker.h"
#include "package/manifest.h"
#include "state/installed_product.h"

namespace tolvane {
namespace {

bool IsDriveLetter(wchar_t c) { return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z'); }

// One level of a share root: a plain name, not a device marker like "?" or ".".
bool IsPlainName(const std::wstring& name) {
  return IsContainedRelativeName(ToUtf16(name)) && name.find(L'\\') == std::wstring::npos;
}

// Length of the root ("X:\" or "\\server\share\") that `folder` starts with, 0 if none.
size_t RootLength(const std::wstring& folder) {
  if (folder.size() >= 3 && IsDriveLetter(folder[0]) && folder[1] == L':' && folder[2] == L'\\') return 3;
  if (folder.compare(0, 2, L"\\\\") != 0) return 0;
  const size_t serverEnd = folder.find(L'\\', 2);
  if (serverEnd == std::wstring::npos) return 0;
  const size_t shareEnd = folder.find(L'\\', serverEnd + 1);
  if (shareEnd == std::wstring::npos) return 0;
  if (!IsPlainName(folder.substr(2, serverEnd - 2)) ||
      !IsPlainName(folder.substr(serverEnd + 1, shareEnd - serverEnd - 1))) {
    return 0;
  }
  return shareEnd + 1;
}

// What is in use and cannot be removed goes at the next restart, in the order
// it was marked: files before the folders that hold them.
class RestartRemovals {
 public:
  // (A mark that cannot be made leaves the file: the uninstall reports nothing.)
  void MarkFile(const std::wstring& path) {
    if (files::RemoveAtRestart(path)) marked_.insert(Key(path));
  }
  // A folder that could not be removed (`error`) and holds nothing but what goes at the
  // restart goes after it; one that holds anything else (files the product made itself),
  // or that cannot be read, stays.
  void MarkFolderIfLeftEmpty(const std::wstring& folder, DWORD error) {
    if (files::IsGone(error) || (error == ERROR_DIR_NOT_EMPTY && marked_.empty())) return;
    WIN32_FIND_DATAW found;
    UniqueFind find(files::FindFirst(folder + L"\\*", &found));
    if (!find) return;
    do {
      const std::wstring name = found.cFileName;
      if (name == L"." || name == L"..") continue;
      if (!marked_.count(Key(folder + L"\\" + name))) return;
    } while (files::FindNext(find.get(), &found));
    if (GetLastError() != ERROR_NO_MORE_FILES) return;
    find.reset();
    MarkFile(folder);
  }

 private:
  static std::wstring Key(std::wstring path) {
    if (!path.empty()) CharUpperBuffW(&path[0], static_cast<DWORD>(path.size()));
    return path;
  }
  std::set<std::wstring> marked_;
};

// Deletes a file that the install wrote, clearing read-only, hidden and system where they
// keep it; a folder of that name is left alone. What cannot be deleted (in use) goes at
// the next restart.
void RemoveFile(const std::wstring& path, RestartRemovals& later) {
  if (files::Delete(path) || files::IsGone(GetLastError())) return;  // the usual cases, in one call
  const DWORD attributes = files::Attributes(path);
  if (attributes == INVALID_FILE_ATTRIBUTES && files::IsGone(GetLastError())) return;
  if (attributes != INVALID_FILE_ATTRIBUTES) {
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return;
    if ((attributes & kProtectingAttributes) && files::SetAttributes(path, attributes & ~kProtectingAttributes) &&
        files::Delete(path)) {
      return;
    }
  }
  later.MarkFile(path);
}

void RemoveFolder(const std::wstring& path, RestartRemovals& later) {
  if (!files::RemoveFolder(path)) later.MarkFolderIfLeftEmpty(path, GetLastError());
}

}  // namespace

int32_t RemovalProgress(int32_t base, int32_t span, int32_t handled, int32_t total) {
  // Formed in 64 bits so that no count can overflow; equal to the 32-bit result otherwise.
  return static_cast<int32_t>(base + static_cast<int64_t>(handled) * span / total);
}

bool IsRemovableInstallFolder(const std::wstring& folder) {
  if (folder.empty() || folder.back() != L'\\') return false;
  if (folder.find_first_of(L"/*?") != std::wstring::npos) return false;
  const size_t root = RootLength(folder);
  if (root == 0 || root >= folder.size()) return false;
  const std::wstring levels = folder.substr(root, folder.size() - root - 1);
  return IsContainedRelativeName(ToUtf16(levels));
}


}  // namespace tolvane

bool RemoveInstalledFiles(WorkerContext& context, int32_t base, int32_t span) {
  const std::vector<ManifestEntry>& entries = context.manifest.Entries;
  const std::wstring& folder = InstalledProduct().InstallPath;
  if (entries.empty()) return true;
  // Names are appended to the recorded folder as they stand: under a drive root, a share
  // or the current folder they would name files that are not the product's.
  if (!tolvane::IsRemovableInstallFolder(folder)) return true;

  const int32_t total = static_cast<int32_t>(entries.size());
  int32_t handled = 0;
  auto advance = [&] {
    ++handled;
    tolvane::PostProgress(context, tolvane::RemovalProgress(base, span, handled, total), WM_UNINSTALL_PROGRESS);
  };

  tolvane::RestartRemovals later;
  std::vector<const ManifestEntry*> folders;
  for (const ManifestEntry& entry : entries) {
    if (entry.Kind == Folder) {
      folders.push_back(&entry);
      continue;
    }
    // The same rule as the install: a name that climbs out is never touched.
    if (tolvane::IsContainedRelativeName(entry.Name)) tolvane::RemoveFile(folder + ToWide(entry.Name), later);
    advance();
  }
  tolvane::RemoveRunLeftovers(folder, entries);
  // Parents come before their contents in the manifest, so the reverse order empties the
  // deepest folders first. A folder that still holds something stays.
  for (auto it = folders.rbegin(); it != folders.rend(); ++it) {
    if (tolvane::IsContainedRelativeName((*it)->Name)) tolvane::RemoveFolder(folder + ToWide((*it)->Name), later);
    advance();
  }
  tolvane::RemoveFolder(folder.substr(0, folder.size() - 1), later);
  return true;
}

// Nothing is reported (the uninstall never fails): a shortcut the shell cannot delete stays.
void RemoveShortcuts(WorkerContext& /*context*/) {
  std::wstring desktop;
  if (GetSpecialFolderPath(tolvane::kCommonDesktopFolder, desktop)) {
    tolvane::files::ShellDelete(desktop + tolvane::kShortcutName + tolvane::kLinkExtension);
  }
  std::wstring group;
  if (!GetSpecialFolderPath(tolvane::kCommonProgramsFolder, group)) return;
  group += tolvane::kProgramGroupName;
  if (tolvane::files::Attributes(group) == INVALID_FILE_ATTRIBUTES) return;
  std::wstring link = group;
  if (link.back() != L'\\') link += L'\\';
  link += tolvane::kShortcutName;
  link += tolvane::kLinkExtension;
  tolvane::files::ShellDelete(link);
  // Other entries someone put into the group keep it.
  tolvane::files::RemoveFolder(group);
}
