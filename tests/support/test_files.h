// Files, folders, registry keys and shortcuts for the Windows-side tests: temporary
// folders that clean up after themselves, and plain reads and writes to check or prepare
// what the program under test sees.
#pragma once

#include <windows.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace tolvane::test {

// A fresh folder below the temporary folder, removed with its content at the end.
class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  // Full path in its long form with a trailing backslash; empty if the folder could not
  // be made.
  const std::wstring& path() const { return path_; }

 private:
  std::wstring path_;
};

// Deletes a folder with everything in it, read-only entries included; true if it is gone.
bool RemoveTree(const std::wstring& folder);
bool PathExists(const std::wstring& path);    // a file or a folder
bool FileExists(const std::wstring& path);    // a file, not a folder
bool FolderExists(const std::wstring& path);
// A file with nothing but the normal attribute (the archive bit, which the system sets
// on every new file, aside).
bool HasOnlyNormalAttributes(const std::wstring& path);
bool ReadFileBytes(const std::wstring& path, std::vector<uint8_t>& bytes);
bool WriteFileBytes(const std::wstring& path, const std::vector<uint8_t>& bytes);
bool WriteTextFile(const std::wstring& path, const std::string& bytes);

// What a folder holds, by name relative to it ("sub\\file"): each file's bytes and each
// entry's read-only, hidden, system and folder attributes.
struct TreeItem {
  DWORD attributes = 0;
  std::vector<uint8_t> content;
  bool operator==(const TreeItem& o) const { return attributes == o.attributes && content == o.content; }
};
using FolderTree = std::map<std::wstring, TreeItem>;
// `folder` ends with a backslash; without `contents` only names and attributes are read.
FolderTree ReadTree(const std::wstring& folder, bool contents = true);
// One line per entry (name, attributes, size), for failure messages.
std::string DescribeTree(const FolderTree& tree);

// Whether `key` below `root` can be opened for reading; `view` may name a registry view
// (KEY_WOW64_*).
bool KeyExists(HKEY root, const std::wstring& key, REGSAM view = 0);

struct Shortcut {
  std::wstring target, workingFolder, description, arguments, iconPath;
  int iconIndex = -1;
  int showCommand = -1;
};
// Loads a .lnk file through the system's ShellLink object.
bool ReadShortcut(const std::wstring& linkPath, Shortcut& out);

}  // namespace tolvane::test
