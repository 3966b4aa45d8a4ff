#include "engine/shell_links.h"

#include <objidl.h>
#include <shlobj.h>

#include "common/win_owners.h"

using tolvane::ComPtr;

bool GetSpecialFolderPath(int specialFolder, std::wstring& path) {
  tolvane::UniqueCoTaskMem<PIDLIST_ABSOLUTE> list;
  if (FAILED(SHGetSpecialFolderLocation(nullptr, specialFolder, list.put())) || !list.get()) return false;
  wchar_t buffer[MAX_PATH] = {};
  if (!SHGetPathFromIDListW(list.get(), buffer)) return false;
  path = buffer;
  path += L'\\';
  return true;
}

bool CreateShortcut(const wchar_t* target, const wchar_t* name, const wchar_t* folder, int specialFolder,
                    const wchar_t* workingFolder, const wchar_t* description, const wchar_t* iconPath,
                    int iconIndex, int showCommand, const wchar_t* arguments) {
  std::wstring linkPath;
  if (folder) {
    linkPath = folder;
    if (linkPath.empty() || linkPath.back() != L'\\') linkPath += L'\\';
  } else if (!GetSpecialFolderPath(specialFolder, linkPath)) {
    return false;
  }
  linkPath += name;
  linkPath += tolvane::kLinkExtension;

  // Never undone: the worker thread stays in its apartment, and the firewall step that
  // follows on the same thread relies on it.
  CoInitialize(nullptr);

  ComPtr<IShellLinkW> link;
  if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW, link.put_void())) ||
      !link) {
    return false;
  }
  link->SetPath(target);
  link->SetDescription(description ? description : L"");
  if (workingFolder && *workingFolder) link->SetWorkingDirectory(workingFolder);
  if (arguments && *arguments) link->SetArguments(arguments);
  if (showCommand >= 0) link->SetShowCmd(showCommand);

  ComPtr<IPersistFile> file;
  if (FAILED(link->QueryInterface(IID_IPersistFile, file.put_void())) || !file) return false;
  if (iconPath && *iconPath) link->SetIconLocation(iconPath, iconIndex);
  return SUCCEEDED(file->Save(linkPath.c_str(), TRUE));
}
