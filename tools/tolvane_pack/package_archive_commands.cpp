// The package command groups that write or read the archive: build, verify and extract.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <system_error>

#include "package/key_provider.h"
#include "package/manifest.h"
#include "package/payload_cipher.h"
#include "storage/storage_manager.h"
#include "tools/tolvane_pack/file_io.h"
#include "tools/tolvane_pack/package_commands.h"
#include "tools/tolvane_pack/product_tree.h"
#include "tools/tolvane_pack/text_codec.h"

namespace tolvane::pack {

namespace fs = std::filesystem;

namespace {

constexpr const char* kBuildUsage =
    "build PRODUCT_DIR --version N --key HEX -o OUTDIR [--order FILE] [--allow-long-paths]";
constexpr const char* kVerifyUsage = "verify MANIFEST PAYLOAD";
constexpr const char* kExtractUsage = "extract MANIFEST PAYLOAD DIR";

int Usage(const char* usage) {
  std::fprintf(stderr, "usage: tolvane-pack %s\n", usage);
  return 2;
}

bool ParseVersion(const std::string& text, uint16_t& version) {
  if (text.empty()) return false;
  char* end = nullptr;
  unsigned long value = std::strtoul(text.c_str(), &end, 0);
  if (*end != '\0' || text[0] == '-' || value > 0xFFFF) return false;
  version = uint16_t(value);
  return true;
}

std::string FoldCase(const std::u16string& name) {
  std::string out = Utf16ToUtf8(name);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  return out;
}

// The files of a package, read back from its manifest and payload.
struct OpenedPackage {
  PackageManifest manifest;
  Bytes archive;  // deciphered; the archive object reads it in place
};

// Parses manifest and payload bytes, checks the manifest's names and order, and deciphers
// the payload with the key that KeyProvider gives. The labels name the two in messages.
bool OpenPackageBytes(const Bytes& manifestBytes, const std::string& manifestLabel, Bytes payload,
                      const std::string& payloadLabel, OpenedPackage& package, std::string& error) {
  ByteInputStream in(manifestBytes.data(), manifestBytes.size());
  if (!ReadManifest(in, package.manifest)) {
    error = manifestLabel + ": not a package manifest (it ends before its key block)";
    return false;
  }
  std::set<std::u16string> folders;
  std::set<std::string> names;
  for (const ManifestEntry& e : package.manifest.Entries) {
    std::string archiveName, problem;
    if (!CheckEntryName(e.Name, archiveName, problem)) {
      error = manifestLabel + ": entry \"" + Utf16ToUtf8(e.Name) + "\": " + problem;
      return false;
    }
    std::u16string parent = ParentOf(e.Name);
    if (!parent.empty() && !folders.count(parent)) {
      error = manifestLabel + ": entry \"" + Utf16ToUtf8(e.Name) + "\" comes before its folder";
      return false;
    }
    if (!names.insert(FoldCase(e.Name)).second) {
      error = manifestLabel + ": entry \"" + Utf16ToUtf8(e.Name) + "\" is listed twice";
      return false;
    }
    if (e.Kind == Folder) folders.insert(e.Name);
  }
  PayloadKey key;
  if (!KeyProvider(package.manifest.KeyBlock, key)) {
    error = manifestLabel + ": the key block yields no key (damaged or made for another provider)";
    return false;
  }
  package.archive = std::move(payload);
  if (package.archive.size() % 8 != 0) {
    error = payloadLabel + ": " + std::to_string(package.archive.size()) + " bytes, not a whole number of 8-byte blocks";
    return false;
  }
  if (!DecipherBuffer(package.archive.data(), package.archive.size(), key.data())) {
    error = "out of memory for the cipher tables";
    return false;
  }
  return true;
}

bool OpenPackage(const fs::path& manifestPath, const fs::path& payloadPath, OpenedPackage& package,
                 std::string& error) {
  Bytes manifestBytes, payload;
  if (!ReadWholeFile(manifestPath, manifestBytes, error) || !ReadWholeFile(payloadPath, payload, error)) return false;
  return OpenPackageBytes(manifestBytes, Display(manifestPath), std::move(payload), Display(payloadPath), package, error);
}

// Reads every file of the package and hands it to visit (which may stop the walk by
// returning false). Checks that each file is present and not empty, and that the sizes
// add up to TotalBytes.
template <typename Visit>
bool ReadFiles(const OpenedPackage& package, const std::string& payloadPath, const std::string& manifestPath,
               StorageManager& archive, std::string& error, Visit visit) {
  uint64_t total = 0;
  Bytes content;
  for (const ManifestEntry& e : package.manifest.Entries) {
    std::string archiveName, problem;
    CheckEntryName(e.Name, archiveName, problem);
    if (e.Kind == Folder) {
      if (!visit(e, content)) return false;
      continue;
    }
    int32_t length = archive.ReadEntry(archiveName, content, 0xFFFFFFFFu);
    if (length < 0) {
      error = payloadPath + ": \"" + Utf16ToUtf8(e.Name) + "\" cannot be read from the archive (code " +
              std::to_string(length) + ")";
      return false;
    }
    if (length == 0) {
      error = payloadPath + ": \"" + Utf16ToUtf8(e.Name) + "\" is empty in the archive";
      return false;
    }
    int32_t stored = archive.GetEntryLength(archiveName);
    if (stored <= 0) {
      error = payloadPath + ": \"" + Utf16ToUtf8(e.Name) + "\" has no stored length in the archive";
      return false;
    }
    total += content.size();
    if (!visit(e, content)) return false;
  }
  std::set<std::string> listed;
  for (const ManifestEntry& e : package.manifest.Entries) {
    std::string archiveName, problem;
    if (e.Kind != Folder && CheckEntryName(e.Name, archiveName, problem)) listed.insert(archiveName);
  }
  size_t extra = 0;
  for (const auto& entry : archive.Root().entries) extra += !listed.count(entry.first);
  if (extra) {
    error = payloadPath + ": the archive holds " + std::to_string(extra) + " entries that the manifest does not list";
    return false;
  }
  if (total != package.manifest.TotalBytes) {
    error = manifestPath + ": total bytes " + std::to_string(package.manifest.TotalBytes) +
            ", but the files in the archive add up to " + std::to_string(total);
    return false;
  }
  return true;
}

bool OpenArchive(OpenedPackage& package, const std::string& payloadPath, StorageManager& archive, std::string& error) {
  if (!archive.Open(package.archive, OpenRead)) {
    error = payloadPath + ": does not decipher to a package archive (wrong key or damaged)";
    return false;
  }
  int32_t integrity = archive.CheckIntegrity();
  if (integrity < 0) {
    error = payloadPath + ": the archive fails its integrity check (code " + std::to_string(integrity) + ")";
    return false;
  }
  return true;
}

// Every folder of the tree, deepest first, then the tree itself: their names durable.
bool SyncTree(const fs::path& root, std::string& error) {
  std::vector<fs::path> folders;
  std::error_code ec;
  for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
    if (it->is_directory(ec)) folders.push_back(it->path());
  }
  if (ec) {
    error = Display(root) + ": cannot list: " + ec.message();
    return false;
  }
  for (auto f = folders.rbegin(); f != folders.rend(); ++f) {
    if (!SyncFolder(*f, error)) return false;
  }
  return SyncFolder(root, error);
}

}  // namespace

bool CheckPackage(const Bytes& manifest, const std::string& manifestLabel, const Bytes& payload,
                  const std::string& payloadLabel, PackageCheck& check, std::string& error) {
  OpenedPackage package;
  if (!OpenPackageBytes(manifest, manifestLabel, payload, payloadLabel, package, error)) return false;
  check.manifest = package.manifest;
  check.files = check.folders = 0;
  StorageManager archive(kPackageSignature, kPackageVersion);
  if (!OpenArchive(package, payloadLabel, archive, error)) return false;
  return ReadFiles(package, payloadLabel, manifestLabel, archive, error, [&](const ManifestEntry& e, const Bytes&) {
    (e.Kind == Folder ? check.folders : check.files)++;
    return true;
  });
}

bool CheckPackageInFile(const Bytes& manifest, const std::string& manifestLabel, const fs::path& file, uint64_t offset,
                        uint64_t length, const std::string& payloadLabel, PackageCheck& check, std::string& error) {
  Bytes payload;
  std::ifstream in(file, std::ios::binary);
  payload.resize(size_t(length));
  in.seekg(std::streamoff(offset));
  if (!in || !in.read(reinterpret_cast<char*>(payload.data()), std::streamsize(length)))
    return error = payloadLabel + ": cannot be read", false;
  return CheckPackage(manifest, manifestLabel, payload, payloadLabel, check, error);
}

int RunBuild(const Args& original) {
  Args args = original;
  const bool allowLongPaths = TakeSwitch(args, "--allow-long-paths");
  CommandLine cl;
  if (!ParseCommandLine(args, {"--version", "--key", "-o", "--order", "--setup-limit"}, kBuildUsage, cl))
    return cl.help ? 0 : 2;
  if (cl.positional.size() != 1 || !cl.options.count("--version") || !cl.options.count("--key") ||
      !cl.options.count("-o"))
    return Usage(kBuildUsage);
  uint16_t version = 0;
  if (!ParseVersion(cl.options["--version"], version))
    return Fail(args[0], "the version must be a number from 0 to 65535, not '" + cl.options["--version"] + "'");
  std::optional<PayloadKey> key = ParseKey(cl.options["--key"]);
  if (!key) return Fail(args[0], "the key must be 16 hex digits, not '" + cl.options["--key"] + "'");
  if (*key == PayloadKey{}) return Fail(args[0], "the key must not be all zero: the key provider never yields that key");
  uint64_t limit = kMaxSetupImageBytes;
  if (cl.options.count("--setup-limit") && !ParseSetupLimit(cl.options["--setup-limit"], limit))
    return Fail(args[0], "--setup-limit takes a number of bytes");

  fs::path root = cl.positional[0];
  fs::path order;
  if (cl.options.count("--order")) order = cl.options["--order"];
  ProductTree tree;
  std::string error;
  if (!ScanProduct(root, order.empty() ? nullptr : &order, tree, error)) return Fail(args[0], error);
  if (!allowLongPaths && !CheckInstallPaths(tree, error)) return Fail(args[0], error);

  fs::path out = cl.options["-o"];
  std::error_code ec;
  fs::create_directories(out, ec);
  if (!fs::is_directory(out, ec)) return Fail(args[0], Display(out) + ": cannot create the output folder");
  // The setup program the build embeds these in adds its stub; what is left for the
  // package is checked as it grows.
  const uint64_t room = limit > kStubReserveBytes ? limit - kStubReserveBytes : 0;
  SizeCheck check = [&](uint64_t archiveBytes, std::string& problem) {
    if (archiveBytes <= room) return true;
    problem = SetupTooLarge(archiveBytes + kStubReserveBytes, limit);
    return false;
  };
  BuiltPackage built;
  if (!BuildPackage(tree, version, *key, out / "payload.bin", PackCompressor::Zlib9, check, built, error))
    return Fail(args[0], error);
  AtomicFileWriter payload;
  if (!WriteFileAtomically(out / "manifest.bin", built.manifest, error) || !payload.Start(out / "payload.bin", error) ||
      !built.WritePayload([&](const uint8_t* data, size_t n) { return payload.Write(data, n); }, error) ||
      !payload.Commit(error))
    return Fail(args[0], error);
  std::printf("%s\n", DescribeBuild(tree, built).c_str());
  return 0;
}

int RunVerify(const Args& args) {
  CommandLine cl;
  if (!ParseCommandLine(args, {}, kVerifyUsage, cl)) return cl.help ? 0 : 2;
  if (cl.positional.size() != 2) return Usage(kVerifyUsage);
  fs::path manifestPath = cl.positional[0], payloadPath = cl.positional[1];
  Bytes manifestBytes, payload;
  std::string error;
  if (!ReadWholeFile(manifestPath, manifestBytes, error) || !ReadWholeFile(payloadPath, payload, error))
    return Fail(args[0], error);
  PackageCheck check;
  if (!CheckPackage(manifestBytes, Display(manifestPath), payload, Display(payloadPath), check, error))
    return Fail(args[0], error);
  std::printf("ok: version %u, %zu entries (%zu files, %zu folders), %llu bytes\n", unsigned(check.manifest.Version),
              check.manifest.Entries.size(), check.files, check.folders,
              static_cast<unsigned long long>(check.manifest.TotalBytes));
  return 0;
}

int RunExtract(const Args& args) {
  CommandLine cl;
  if (!ParseCommandLine(args, {}, kExtractUsage, cl)) return cl.help ? 0 : 2;
  if (cl.positional.size() != 3) return Usage(kExtractUsage);
  fs::path manifestPath = cl.positional[0], payloadPath = cl.positional[1], target = cl.positional[2];
  std::error_code ec;
  if (fs::exists(fs::symlink_status(target, ec))) {
    if (!fs::is_directory(fs::symlink_status(target, ec)) || !fs::is_empty(target, ec))
      return Fail(args[0], Display(target) + ": already exists and is not an empty folder");
  }
  OpenedPackage package;
  std::string error;
  if (!OpenPackage(manifestPath, payloadPath, package, error)) return Fail(args[0], error);
  StorageManager archive(kPackageSignature, kPackageVersion);
  if (!OpenArchive(package, Display(payloadPath), archive, error)) return Fail(args[0], error);

  // Everything goes into a temporary folder beside the target, which takes the target's
  // name only when the whole package is out.
  fs::path temp = TemporarySibling(target.has_filename() ? target : target.parent_path());
  if (!fs::create_directory(temp, ec)) return Fail(args[0], Display(temp) + ": cannot create: " + ec.message());
  bool ok = ReadFiles(package, Display(payloadPath), Display(manifestPath), archive, error, [&](const ManifestEntry& e, const Bytes& data) {
    fs::path path = temp;
    std::u16string name = e.Name;
    size_t start = 0;
    for (;;) {
      size_t slash = name.find(u'\\', start);
      path /= Utf16ToPath(name.substr(start, slash == std::u16string::npos ? slash : slash - start));
      if (slash == std::u16string::npos) break;
      start = slash + 1;
    }
    if (e.Kind == Folder) {
      fs::create_directories(path, ec);
      if (ec) error = Display(path) + ": cannot create: " + ec.message();
      return !ec;
    }
    fs::create_directories(path.parent_path(), ec);
    return WriteFileSynced(path, data, error);
  });
  ok = ok && SyncTree(temp, error);
  if (ok && fs::exists(target, ec)) fs::remove(target, ec);
  if (ok) {
    fs::rename(temp, target, ec);
    if (ec) error = Display(target) + ": cannot put in place: " + ec.message();
    ok = !ec;
  }
  if (ok) {
    fs::path parent = fs::absolute(target, ec).parent_path();
    std::string ignored;  // in place already; only less sure to outlast a power cut
    SyncFolder(parent, ignored);
  }
  if (!ok) {
    std::error_code ignored;
    fs::remove_all(temp, ignored);
    return Fail(args[0], error);
  }
  std::printf("extracted %zu entries into %s\n", package.manifest.Entries.size(), Display(target).c_str());
  return 0;
}

}  // namespace tolvane::pack
