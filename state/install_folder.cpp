#include "state/install_folder.h"

#include <cwchar>
#include <new>
#include <vector>

#include "common/failure.h"
#include "common/text_conversion.h"
#include "engine/file_calls.h"
#include "resources/resource_ids.h"
#include "state/installed_product.h"
#include "state/product_names.h"

namespace {

constexpr wchar_t kMissingFolderText[] = L"请提供正确的安装路径。";
constexpr wchar_t kOverwriteQuestion[] = L"覆盖制定文件夹中的同名文件?";
constexpr wchar_t kCreateFailedPrefix[] = L"建立文件夹 ";
constexpr wchar_t kCreateFailedSuffix[] = L" 出错。";

// Folder creation starts after a drive prefix such as "C:\"; the root is never created.
constexpr size_t kFirstLevelOffset = 3;

void FocusFolderBox(HWND owner) {
  if (HWND box = GetDlgItem(owner, IDC_FOLDER)) SetFocus(box);
}

// The one place that tells the user a folder level could not be created. The system's
// code stays the last error for the caller.
void ShowCreateFailed(HWND owner, const tolvane::Failure& failure) {
  const std::wstring text = kCreateFailedPrefix + failure.where + kCreateFailedSuffix;
  MessageBoxW(owner, text.c_str(), kMessageCaption, MB_OK | MB_ICONERROR);
  SetLastError(failure.code);
}

// The full form of `path` however long it is, for messages; `path` itself if that fails.
std::wstring FullPathForMessage(const std::wstring& path) {
  const DWORD needed = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (needed == 0) return path;
  try {
    std::vector<wchar_t> buffer(needed);
    const DWORD length = GetFullPathNameW(path.c_str(), needed, buffer.data(), nullptr);
    if (length == 0 || length >= needed) return path;
    return std::wstring(buffer.data(), length);
  } catch (const std::bad_alloc&) {
    return path;
  }
}

// The folder in its full form: absolute, "." and ".." resolved, forward slashes turned
// into backslashes and repeated separators merged, with a trailing backslash. The record
// goes to the registry, the shortcuts and the firewall, and the uninstall removes only
// what lies below a folder in this form: it must name the folder the files went into,
// whatever the current directory is. A text without a full form is kept as it is, for
// CreateFolderPath to refuse.
std::wstring CanonicalFolder(const std::wstring& folder) {
  std::wstring full = FullPathForMessage(folder);
  if (full.empty() || full.back() != L'\\') full += L'\\';
  return full;
}

// Creates every missing level of the full path in `buffer` (`length` units, after its
// drive prefix); the level that could not be created, on failure. A path whose parent
// exists takes one call; otherwise the levels are looked at from the top.
tolvane::Failure MakeLevels(wchar_t* buffer, DWORD length) {
  using tolvane::files::Attributes;
  using tolvane::files::MakeFolder;
  if (MakeFolder(buffer) || GetLastError() == ERROR_ALREADY_EXISTS) return {};
  size_t scan = length < kFirstLevelOffset ? length : kFirstLevelOffset;
  for (;;) {
    // Cut the buffer at the next separator so that it names one level.
    wchar_t* separator = wcschr(buffer + scan, L'\\');
    if (separator) *separator = L'\0';
    if (Attributes(buffer) == INVALID_FILE_ATTRIBUTES && !MakeFolder(buffer)) {
      return tolvane::Failed(tolvane::Failure::What::FolderNotMade, buffer, GetLastError());
    }
    if (!separator) return {};
    *separator = L'\\';
    scan = static_cast<size_t>(separator - buffer) + 1;
  }
}

}  // namespace

bool IsExistingFolder(const std::wstring& path) {
  const DWORD attributes = tolvane::files::Attributes(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool ValidateFolderText(HWND owner, const std::wstring& text) {
  std::wstring folder = tolvane::TrimSpace(text);
  if (folder.empty()) {
    MessageBoxW(owner, kMissingFolderText, kMessageCaption, MB_OK | MB_ICONERROR);
    FocusFolderBox(owner);
    return false;
  }
  if (folder.back() != L'\\') folder += L'\\';
  if (!ConfirmInstallFolder(owner, folder)) {
    FocusFolderBox(owner);
    return false;
  }
  return true;
}

bool ConfirmInstallFolder(HWND owner, const std::wstring& folder) {
  const std::wstring target = CanonicalFolder(folder);
  // Too long for the folder operations even where it exists: refused with the same
  // message as a folder that cannot be created.
  if (target.size() >= MAX_PATH) return CreateFolderPath(owner, target);
  if (IsExistingFolder(target)) {
    const std::wstring executable = target + tolvane::kServerExecutable;
    if (tolvane::files::Attributes(executable) != INVALID_FILE_ATTRIBUTES) {
      const int answer = MessageBoxW(owner, kOverwriteQuestion, kMessageCaption,
                                     MB_YESNOCANCEL | MB_ICONQUESTION | MB_DEFBUTTON3);
      if (answer != IDYES) return false;
    }
  } else if (!CreateFolderPath(owner, target)) {
    return false;
  }
  InstalledProduct().InstallPath = target;
  return true;
}

bool CreateFolderPath(HWND owner, const std::wstring& path) {
  wchar_t buffer[MAX_PATH];
  const DWORD length = GetFullPathNameW(path.c_str(), MAX_PATH, buffer, nullptr);
  if (length == 0) return false;
  // A path of MAX_PATH units or more: the buffer was not filled, the return value is the
  // size the full path needs.
  const tolvane::Failure failure =
      length >= MAX_PATH ? tolvane::Failed(tolvane::Failure::What::FolderNotMade, FullPathForMessage(path),
                                           ERROR_FILENAME_EXCED_RANGE)
                         : MakeLevels(buffer, length);
  if (!failure) return true;
  ShowCreateFailed(owner, failure);
  return false;
}
