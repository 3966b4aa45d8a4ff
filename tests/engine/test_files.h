// File-system and shortcut helpers for the engine's Windows-side tests.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace tolvane::test {

// A fresh folder below %TEMP%, removed with everything in it when the owner goes.
class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  // With a trailing backslash.
  const std::wstring& path() const { return path_; }

 private:
  std::wstring path_;
};

void RemoveTree(const std::wstring& folder);
bool FileExists(const std::wstring& path);
bool FolderExists(const std::wstring& path);
// A file with nothing but the normal attribute (the archive bit, which the system sets
// on every new file, aside).
bool HasOnlyNormalAttributes(const std::wstring& path);
bool ReadFileBytes(const std::wstring& path, std::vector<uint8_t>& bytes);
bool WriteFileBytes(const std::wstring& path, const std::vector<uint8_t>& bytes);

struct Shortcut {
  std::wstring target, workingFolder, description, arguments, iconPath;
  int iconIndex = -1;
  int showCommand = -1;
};
// Loads a .lnk file through the system's ShellLink object.
bool ReadShortcut(const std::wstring& linkPath, Shortcut& out);

}  // namespace tolvane::test
