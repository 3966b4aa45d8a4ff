#include "tools/tolvane_pack/product_tree.h"

#include <algorithm>
#include <deque>
#include <map>
#include <set>
#include <system_error>

#include "package/install_limits.h"
#include "package/manifest.h"
#include "tools/tolvane_pack/file_io.h"
#include "tools/tolvane_pack/text_codec.h"

namespace tolvane::pack {

namespace fs = std::filesystem;

namespace {

constexpr size_t kMaxArchiveName = 255;

std::u16string FoldCase(const std::u16string& name) {
  std::u16string out = name;
  for (char16_t& c : out)
    if (c >= u'A' && c <= u'Z') c = char16_t(c - u'A' + u'a');
  return out;
}

struct Found {
  fs::path path;
  bool folder = false;
  uint64_t size = 0;
  std::vector<std::u16string> files, folders;  // children, for the default order
};

// Walks the folder below root into found, keyed by manifest name.
bool Walk(const fs::path& root, const fs::path& dir, const std::u16string& prefix,
          std::map<std::u16string, Found>& found, Found& parent, std::string& error) {
  std::error_code ec;
  fs::directory_iterator it(dir, ec), end;
  if (ec) {
    error = Display(dir) + ": cannot read the folder: " + ec.message();
    return false;
  }
  for (; it != end; it.increment(ec)) {
    const fs::path& path = it->path();
    fs::file_status status = fs::symlink_status(path, ec);
    if (ec) {
      error = Display(path) + ": cannot read: " + ec.message();
      return false;
    }
    if (fs::is_symlink(status)) {
      error = Display(path) + ": is a link; the package holds only plain files and folders";
      return false;
    }
    std::string problem;
    std::optional<std::u16string> component = ComponentToUtf16(path.filename(), problem);
    if (!component) {
      error = Display(path) + ": the file name is " + problem;
      return false;
    }
    std::u16string name = prefix.empty() ? *component : prefix + u'\\' + *component;
    Found entry;
    entry.path = path;
    if (fs::is_directory(status)) {
      entry.folder = true;
      parent.folders.push_back(name);
      Found& stored = found[name] = entry;
      if (!Walk(root, path, name, found, stored, error)) return false;
    } else if (fs::is_regular_file(status)) {
      entry.size = fs::file_size(path, ec);
      if (ec) {
        error = Display(path) + ": cannot read its size: " + ec.message();
        return false;
      }
      if (entry.size == 0) {
        error = Display(path) + ": the file is empty; the installer treats an empty entry as damaged";
        return false;
      }
      parent.files.push_back(name);
      found[name] = entry;
    } else {
      error = Display(path) + ": neither a plain file nor a folder";
      return false;
    }
  }
  if (ec) {
    error = Display(dir) + ": cannot read the folder: " + ec.message();
    return false;
  }
  return true;
}

std::vector<std::u16string> DefaultOrder(const std::map<std::u16string, Found>& found, Found& root) {
  std::vector<std::u16string> order;
  std::deque<Found*> queue{&root};
  while (!queue.empty()) {
    Found* folder = queue.front();
    queue.pop_front();
    std::sort(folder->files.begin(), folder->files.end());
    std::sort(folder->folders.begin(), folder->folders.end());
    order.insert(order.end(), folder->files.begin(), folder->files.end());
    for (const std::u16string& sub : folder->folders) {
      order.push_back(sub);
      queue.push_back(const_cast<Found*>(&found.at(sub)));
    }
  }
  return order;
}

bool ReadOrder(const fs::path& orderFile, std::vector<std::u16string>& order, std::string& error) {
  Bytes bytes;
  if (!ReadWholeFile(orderFile, bytes, error)) return false;
  std::string text(bytes.begin(), bytes.end());
  size_t lineNo = 0, at = 0;
  while (at < text.size()) {
    size_t endOfLine = text.find('\n', at);
    if (endOfLine == std::string::npos) endOfLine = text.size();
    std::string line = text.substr(at, endOfLine - at);
    at = endOfLine + 1;
    ++lineNo;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    std::string problem;
    std::optional<std::u16string> name = Utf8ToUtf16(line, problem);
    if (!name) {
      error = Display(orderFile) + ":" + std::to_string(lineNo) + ": " + problem;
      return false;
    }
    std::replace(name->begin(), name->end(), u'/', u'\\');
    order.push_back(*name);
  }
  return true;
}

}  // namespace

bool CheckInstallPaths(const ProductTree& tree, std::string& error) {
  const std::u16string folder = kLongestDefaultFolder;
  for (const ProductEntry& e : tree.entries) {
    const size_t length = folder.size() + e.name.size();
    if (length >= kMaxPathChars) {
      error = "\"" + Utf16ToUtf8(e.name) + "\": its path under " + Utf16ToUtf8(folder) + " is " +
              std::to_string(length) + " characters long; Windows refuses paths of " + std::to_string(kMaxPathChars) +
              " or more (--allow-long-paths packs it anyway, for users who choose a short folder)";
      return false;
    }
  }
  return true;
}

std::u16string ParentOf(const std::u16string& name) {
  size_t slash = name.rfind(u'\\');
  return slash == std::u16string::npos ? std::u16string() : name.substr(0, slash);
}

namespace {

char16_t Upper(char16_t c) { return c >= u'a' && c <= u'z' ? char16_t(c - u'a' + u'A') : c; }

// CON, NUL, COM1 and the like, also with an extension ("nul.txt") or blanks before it:
// Windows opens the device instead of a file.
bool IsDeviceName(const std::u16string& component) {
  std::u16string base = component.substr(0, component.find(u'.'));
  while (!base.empty() && base.back() == u' ') base.pop_back();
  for (char16_t& c : base) c = Upper(c);
  for (const char16_t* device : {u"CON", u"PRN", u"AUX", u"NUL", u"CONIN$", u"CONOUT$"})
    if (base == device) return true;
  return base.size() == 4 && (base.compare(0, 3, u"COM") == 0 || base.compare(0, 3, u"LPT") == 0) &&
         base[3] >= u'1' && base[3] <= u'9';
}

}  // namespace

bool CheckNameComponent(const std::u16string& component, std::string& problem) {
  if (component.empty() || component == u".") return problem = "the name has an empty or \".\" component", false;
  if (component == u"..") return problem = "the name has a \"..\" component, which climbs out of its folder", false;
  if (component.size() >= 2 && component[1] == u':' && Upper(component[0]) >= u'A' && Upper(component[0]) <= u'Z')
    return problem = "the name starts with a drive letter", false;
  for (char16_t c : component) {
    if (c == u'/') return problem = "the name holds a forward slash, which Windows reads as a folder separator", false;
    if (c == u'\\') return problem = "the name holds a backslash", false;
    if (c < 0x20 || std::u16string(u"<>:\"|?*").find(c) != std::u16string::npos)
      return problem = "the name holds a character that Windows does not allow in file names", false;
  }
  if (component.back() == u'.' || component.back() == u' ')
    return problem = "a name component ends in a dot or a blank, which Windows drops", false;
  if (IsDeviceName(component)) return problem = "the name is a device's (CON, NUL, COM1 and the like), not a file's", false;
  return true;
}

bool CheckEntryName(const std::u16string& name, std::string& archiveName, std::string& problem) {
  if (name.empty()) {
    problem = "the name is empty";
    return false;
  }
  if (name.compare(0, 2, u"\\\\") == 0) return problem = "the name starts with two backslashes: a network path", false;
  if (name[0] == u'\\') return problem = "the name starts with a backslash: a path from the drive's root", false;
  size_t start = 0;
  for (;;) {
    size_t slash = name.find(u'\\', start);
    if (!CheckNameComponent(name.substr(start, slash == std::u16string::npos ? std::u16string::npos : slash - start),
                            problem))
      return false;
    if (slash == std::u16string::npos) break;
    start = slash + 1;
  }
  std::optional<std::string> encoded = Utf16ToCodePage936(name);
  if (!encoded) {
    problem = "the name cannot be written in code page 936";
    return false;
  }
  if (encoded->size() > kMaxArchiveName) {
    problem = "the name is " + std::to_string(encoded->size()) + " bytes long in code page 936; at most " +
              std::to_string(kMaxArchiveName) + " fit";
    return false;
  }
  archiveName = *encoded;
  return true;
}

size_t FolderCount(const ProductTree& tree) {
  size_t folders = 0;
  for (const ProductEntry& e : tree.entries) folders += e.kind == Folder;
  return folders;
}

bool ScanProduct(const fs::path& root, const fs::path* orderFile, ProductTree& tree, std::string& error) {
  tree = ProductTree();
  std::error_code ec;
  if (!fs::is_directory(root, ec)) {
    error = Display(root) + ": " + (fs::exists(root, ec) ? "not a folder" : "no such folder");
    return false;
  }
  std::map<std::u16string, Found> found;
  Found top;
  top.folder = true;
  if (!Walk(root, root, u"", found, top, error)) return false;

  std::vector<std::u16string> order;
  if (orderFile) {
    if (!ReadOrder(*orderFile, order, error)) return false;
  } else {
    order = DefaultOrder(found, top);
  }

  std::set<std::u16string> listed, folded;
  for (const std::u16string& name : order) {
    std::string archiveName, problem;
    if (orderFile && !CheckEntryName(name, archiveName, problem)) {
      error = Display(*orderFile) + ": \"" + Utf16ToUtf8(name) + "\": " + problem;
      return false;
    }
    auto it = found.find(name);
    if (it == found.end()) {
      error = Display(*orderFile) + ": lists \"" + Utf16ToUtf8(name) + "\", which is not in " + Display(root);
      return false;
    }
    if (!listed.insert(name).second) {
      error = Display(*orderFile) + ": lists \"" + Utf16ToUtf8(name) + "\" twice";
      return false;
    }
    ProductEntry entry;
    entry.name = name;
    entry.path = it->second.path;
    if (!CheckEntryName(name, entry.archiveName, problem)) {
      error = Display(entry.path) + ": " + problem;
      return false;
    }
    if (!folded.insert(FoldCase(name)).second) {
      error = Display(entry.path) + ": another entry has the same name in other letter case; Windows would merge them";
      return false;
    }
    std::u16string parent = ParentOf(name);
    if (!parent.empty() && !listed.count(parent)) {
      error = Display(*orderFile) + ": \"" + Utf16ToUtf8(name) + "\" comes before its folder";
      return false;
    }
    if (it->second.folder) {
      entry.kind = Folder;
    } else {
      entry.kind = parent.empty() ? TopLevelFile : SubfolderFile;
      entry.size = it->second.size;
      tree.totalBytes += entry.size;
      if (tree.totalBytes > kMaxPackageBytes) {
        error = Display(root) + ": the files add up to more than 4 GiB, more than a package can hold";
        return false;
      }
    }
    tree.entries.push_back(std::move(entry));
  }
  if (listed.size() != found.size()) {
    for (const auto& [name, entry] : found) {
      if (!listed.count(name)) {
        error = Display(*orderFile) + ": does not list " + Display(entry.path);
        return false;
      }
    }
  }
  if (tree.totalBytes == 0) {
    error = Display(root) + ": holds no files";
    return false;
  }
  return true;
}

}  // namespace tolvane::pack
