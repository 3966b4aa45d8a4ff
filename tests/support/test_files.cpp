#include "tests/support/test_files.h"

#include <objidl.h>
#include <shlobj.h>

#include <atomic>
#include <cstring>

#include "common/win_owners.h"

namespace tolvane::test {
namespace {

std::wstring WithBackslash(std::wstring path) {
  if (!path.empty() && path.back() != L'\\') path += L'\\';
  return path;
}

bool WriteWholeFile(const std::wstring& path, const void* data, size_t size) {
  UniqueFile file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return false;
  DWORD written = 0;
  return size == 0 || (WriteFile(file.get(), data, static_cast<DWORD>(size), &written, nullptr) && written == size);
}

}  // namespace

TempFolder::TempFolder() {
  static std::atomic<unsigned> counter{0};
  wchar_t temp[MAX_PATH];
  const DWORD length = GetTempPathW(MAX_PATH, temp);
  if (length == 0 || length >= MAX_PATH) return;
  // Process id, tick count and a counter: unique across runs and prefixes sharing a disk.
  const std::wstring candidate = WithBackslash(std::wstring(temp, length)) + L"tolvane-test-" +
                                 std::to_wstring(GetCurrentProcessId()) + L"-" +
                                 std::to_wstring(GetTickCount()) + L"-" + std::to_wstring(++counter) + L"\\";
  if (CreateDirectoryW(candidate.c_str(), nullptr)) {
    // The long form: the temporary folder may be given in 8.3 form, and tests compare
    // paths the product builds from this one.
    wchar_t full[MAX_PATH];
    const DWORD fullLength = GetLongPathNameW(candidate.c_str(), full, MAX_PATH);
    path_ = (fullLength > 0 && fullLength < MAX_PATH) ? WithBackslash(std::wstring(full, fullLength)) : candidate;
  }
}

TempFolder::~TempFolder() {
  if (!path_.empty()) RemoveTree(path_);
}

bool RemoveTree(const std::wstring& path) {
  const std::wstring folder = WithBackslash(path);
  if (GetFileAttributesW(folder.c_str()) == INVALID_FILE_ATTRIBUTES) return true;
  WIN32_FIND_DATAW found;
  UniqueFind search(FindFirstFileW((folder + L"*").c_str(), &found));
  if (search) {
    do {
      const std::wstring name = found.cFileName;
      if (name == L"." || name == L"..") continue;
      const std::wstring child = folder + name;
      SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
      if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveTree(child);
      } else {
        DeleteFileW(child.c_str());
      }
    } while (FindNextFileW(search.get(), &found));
    search.reset();
  }
  RemoveDirectoryW(folder.c_str());
  return GetFileAttributesW(folder.c_str()) == INVALID_FILE_ATTRIBUTES;
}

bool PathExists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

bool FileExists(const std::wstring& path) {
  const DWORD a = GetFileAttributesW(path.c_str());
  return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}

bool FolderExists(const std::wstring& path) {
  const DWORD a = GetFileAttributesW(path.c_str());
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

bool HasOnlyNormalAttributes(const std::wstring& path) {
  const DWORD a = GetFileAttributesW(path.c_str());
  return a != INVALID_FILE_ATTRIBUTES && (a & ~(FILE_ATTRIBUTE_NORMAL | FILE_ATTRIBUTE_ARCHIVE)) == 0;
}

namespace {

void ReadTreeInto(const std::wstring& folder, const std::wstring& prefix, bool contents, FolderTree& tree) {
  constexpr DWORD kCompared =
      FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_DIRECTORY;
  WIN32_FIND_DATAW found;
  UniqueFind find(FindFirstFileW((folder + prefix + L"*").c_str(), &found));
  if (!find) return;
  do {
    const std::wstring name = found.cFileName;
    if (name == L"." || name == L"..") continue;
    TreeItem& item = tree[prefix + name];
    item.attributes = found.dwFileAttributes & kCompared;
    if (item.attributes & FILE_ATTRIBUTE_DIRECTORY) {
      ReadTreeInto(folder, prefix + name + L"\\", contents, tree);
    } else if (contents) {
      ReadFileBytes(folder + prefix + name, item.content);
    }
  } while (FindNextFileW(find.get(), &found));
}

}  // namespace

FolderTree ReadTree(const std::wstring& folder, bool contents) {
  FolderTree tree;
  ReadTreeInto(folder, L"", contents, tree);
  return tree;
}

std::string DescribeTree(const FolderTree& tree) {
  std::string out;
  for (const auto& [name, item] : tree) {
    for (wchar_t c : name) out += c < 0x80 ? static_cast<char>(c) : '?';
    out += " attributes " + std::to_string(item.attributes) + ", " + std::to_string(item.content.size()) + " bytes\n";
  }
  return out;
}

bool ReadFileBytes(const std::wstring& path, std::vector<uint8_t>& bytes) {
  UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  if (!file) return false;
  LARGE_INTEGER size;
  if (!GetFileSizeEx(file.get(), &size)) return false;
  bytes.resize(static_cast<size_t>(size.QuadPart));
  DWORD read = 0;
  return bytes.empty() ||
         (ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr) && read == bytes.size());
}

bool WriteFileBytes(const std::wstring& path, const std::vector<uint8_t>& bytes) {
  return WriteWholeFile(path, bytes.data(), bytes.size());
}

bool WriteTextFile(const std::wstring& path, const std::string& bytes) {
  return WriteWholeFile(path, bytes.data(), bytes.size());
}

bool KeyExists(HKEY root, const std::wstring& key, REGSAM view) {
  UniqueHkey opened;
  return RegOpenKeyExW(root, key.c_str(), 0, KEY_READ | view, opened.put()) == ERROR_SUCCESS;
}

bool ReadShortcut(const std::wstring& linkPath, Shortcut& out) {
  const HRESULT init = CoInitialize(nullptr);
  bool ok = false;
  {
    ComPtr<IShellLinkW> link;
    ComPtr<IPersistFile> file;
    if (SUCCEEDED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                   link.put_void())) &&
        SUCCEEDED(link->QueryInterface(IID_IPersistFile, file.put_void())) &&
        SUCCEEDED(file->Load(linkPath.c_str(), STGM_READ))) {
      wchar_t text[MAX_PATH * 2];
      text[0] = 0;
      // The target as the link's item list names it, which the shell resolves: Wine keeps
      // the path beside it only in the ANSI code page, where a name outside it is lost.
      PIDLIST_ABSOLUTE items = nullptr;
      if (FAILED(link->GetIDList(&items)) || !items || !SHGetPathFromIDListW(items, text)) {
        text[0] = 0;
        link->GetPath(text, MAX_PATH * 2, nullptr, SLGP_RAWPATH);
      }
      CoTaskMemFree(items);
      out.target = text;
      text[0] = 0;
      link->GetWorkingDirectory(text, MAX_PATH * 2);
      out.workingFolder = text;
      text[0] = 0;
      link->GetDescription(text, MAX_PATH * 2);
      out.description = text;
      text[0] = 0;
      link->GetArguments(text, MAX_PATH * 2);
      out.arguments = text;
      text[0] = 0;
      link->GetIconLocation(text, MAX_PATH * 2, &out.iconIndex);
      out.iconPath = text;
      // Wine's ShellLink does not restore the show command on load; the file header
      // holds it at offset 0x3C.
      std::vector<uint8_t> bytes;
      ok = ReadFileBytes(linkPath, bytes) && bytes.size() >= 0x4C && bytes[0] == 0x4C;
      if (ok) std::memcpy(&out.showCommand, bytes.data() + 0x3C, 4);
    }
  }  // the interfaces go before the apartment does
  if (SUCCEEDED(init)) CoUninitialize();
  return ok;
}

}  // namespace tolvane::test
