// The product folder as the packaging tool sees it: every folder and file below the
// product's root, in manifest order, each with its manifest name, kind and archive name.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace tolvane::pack {

struct ProductEntry {
  std::u16string name;        // manifest name, components separated by '\'
  uint32_t kind = 0;          // EntryKind
  std::string archiveName;    // the name in code page 936 bytes
  std::filesystem::path path; // where it lies on disk
  uint64_t size = 0;          // files only
};

struct ProductTree {
  std::vector<ProductEntry> entries;
  uint64_t totalBytes = 0;
};

// Largest sum of file sizes a package can carry: the archive's offsets are 32 bits wide.
constexpr uint64_t kMaxPackageBytes = 0xFFFFFFFFu;

// Reads the product folder below root. Without an order file, each folder's files come
// first, then its subfolders, level by level, names in byte order; an order file (UTF-8,
// one name per line, '/' or '\' between components, '#' comments) gives the order
// instead and must name every entry exactly once. Fails with a message naming the
// offending path on a link, an empty file, a name that cannot be packaged, or more than
// 4 GiB in all.
bool ScanProduct(const std::filesystem::path& root, const std::filesystem::path* orderFile, ProductTree& tree,
                 std::string& error);

// Checks one manifest name: relative (no leading backslash, network path or drive
// letter), components separated by single '\\' that CheckNameComponent accepts,
// representable in code page 936 and at most 255 bytes there. On success archiveName
// holds the encoded name.
bool CheckEntryName(const std::u16string& name, std::string& archiveName, std::string& problem);
// One file or folder name that stays where it is put: not empty, "." or "..", no drive
// letter, no '/' or '\\' or other character Windows refuses, no trailing dot or blank,
// no device name (CON, NUL, COM1, ...). problem says which.
bool CheckNameComponent(const std::u16string& component, std::string& problem);

// Refuses an entry whose full path under the longest default install folder
// (package/install_limits.h) reaches the path length Windows refuses, naming it and its
// length.
bool CheckInstallPaths(const ProductTree& tree, std::string& error);

size_t FolderCount(const ProductTree& tree);

// The folder that holds name ("" for a top-level entry).
std::u16string ParentOf(const std::u16string& name);

}  // namespace tolvane::pack
