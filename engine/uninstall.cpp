#include "engine/uninstall.h"

#include <windows.h>
#include <shellapi.h>

#include <set>
#include <vector>

#include "common/text_conversion.h"
#include "common/win_owners.h"
#include "engine/file_output.h"
#include "engine/install_run.h"
#include "engine/shell_links.h"
#include "engine/worker.h"
#include "package/manifest.h"
#include "state/installed_product.h"

namespace tolvane {
namespace {

constexpr DWORD kProtectingAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;

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
  void MarkFile(const std::wstring& path) {
    if (MoveFileExW(path.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT)) marked_.insert(Key(path));
  }
  // A folder that still holds only what goes at the restart goes after it; one that holds
  // anything else (files the product made itself) stays.
  void MarkFolderIfLeftEmpty(const std::wstring& folder) {
    if (GetFileAttributesW(folder.c_str()) == INVALID_FILE_ATTRIBUTES || marked_.empty()) return;
    WIN32_FIND_DATAW found;
    UniqueFind find(FindFirstFileW((folder + L"\\*").c_str(), &found));
    if (!find) return;
    do {
      const std::wstring name = found.cFileName;
      if (name == L"." || name == L"..") continue;
      if (!marked_.count(Key(folder + L"\\" + name))) return;
    } while (FindNextFileW(find.get(), &found));
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

// Deletes a file that the install wrote; a folder of that name is left alone.
void RemoveFile(const std::wstring& path, RestartRemovals& later) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) return;
  if (attributes & kProtectingAttributes) SetFileAttributesW(path.c_str(), attributes & ~kProtectingAttributes);
  if (!DeleteFileW(path.c_str()) && GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) later.MarkFile(path);
}

void RemoveFolder(const std::wstring& path, RestartRemovals& later) {
  if (!RemoveDirectoryW(path.c_str())) later.MarkFolderIfLeftEmpty(path);
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

bool DeleteWithShell(const std::wstring& path) {
  // The source is a list of names ended by an empty one: the string's own terminator
  // follows the zero added here.
  std::wstring list = path;
  list += L'\0';
  SHFILEOPSTRUCTW operation = {};
  operation.hwnd = nullptr;
  operation.wFunc = FO_DELETE;
  operation.pFrom = list.c_str();
  operation.pTo = nullptr;
  operation.fFlags = FOF_NOCONFIRMATION | FOF_NOERRORUI;
  return SHFileOperationW(&operation) == 0;
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

void RemoveShortcuts(WorkerContext& /*context*/) {
  std::wstring desktop;
  if (GetSpecialFolderPath(tolvane::kCommonDesktopFolder, desktop)) {
    tolvane::DeleteWithShell(desktop + tolvane::kShortcutName + tolvane::kLinkExtension);
  }
  std::wstring group;
  if (!GetSpecialFolderPath(tolvane::kCommonProgramsFolder, group)) return;
  group += tolvane::kProgramGroupName;
  if (GetFileAttributesW(group.c_str()) == INVALID_FILE_ATTRIBUTES) return;
  std::wstring link = group;
  if (link.back() != L'\\') link += L'\\';
  link += tolvane::kShortcutName;
  link += tolvane::kLinkExtension;
  tolvane::DeleteWithShell(link);
  // Other entries someone put into the group keep it.
  RemoveDirectoryW(group.c_str());
}
