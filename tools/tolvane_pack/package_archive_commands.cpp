// The package command groups that write or read the archive: build, verify and extract.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <system_error>

#include "package/key_provider.h"
#include "package/manifest.h"
#include "package/payload_cipher.h"
#include "package/payload_stream.h"
#include "storage/storage_manager.h"
#include "tools/tolvane_pack/file_io.h"
#include "tools/tolvane_pack/package_commands.h"
#include "tools/tolvane_pack/product_tree.h"
#include "tools/tolvane_pack/text_codec.h"

namespace tolvane::pack {

namespace fs = std::filesystem;

namespace {

// The size of a payload file, refused when it is not a plain file.
bool PayloadFileSize(const fs::path& path, uint64_t& size, std::string& error) {
  std::error_code ec;
  if (!fs::is_regular_file(path, ec))
    return error = Display(path) + ": " + (fs::exists(path, ec) ? "not a regular file" : "no such file"), false;
  size = fs::file_size(path, ec);
  if (ec) return error = Display(path) + ": cannot read its size", false;
  return true;
}

std::string FoldCase(const std::u16string& name) {
  std::string out = Utf16ToUtf8(name);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  return out;
}

// The manifest of a package and the key its key block yields.
struct OpenedPackage {
  PackageManifest manifest;
  PayloadKey key{};
};

// Parses manifest bytes, checks the manifest's names and order, and gets the key that
// KeyProvider gives. The label names the manifest in messages.
bool OpenManifest(const Bytes& manifestBytes, const std::string& manifestLabel, OpenedPackage& package,
                  std::string& error) {
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
  if (!KeyProvider(package.manifest.KeyBlock, package.key)) {
    error = manifestLabel + ": the key block yields no key (damaged or made for another provider)";
    return false;
  }
  return true;
}

// The enciphered payload at [offset, offset + length) of a file, opened as an archive
// that is deciphered a window at a time as it is read.
class PayloadArchive {
 public:
  bool Open(const fs::path& file, uint64_t offset, uint64_t length, const OpenedPackage& package,
            const std::string& payloadLabel, std::string& error) {
    std::wstring wide;
    std::string problem;
    if (!WideName(file, wide, problem)) return error = Display(file) + ": cannot open: " + problem, false;
    if (file_.Open(wide, OpenRead) != OpenedExisting) return error = Display(file) + ": cannot open", false;
    if (length % 8 != 0)
      return error = payloadLabel + ": " + std::to_string(length) + " bytes, not a whole number of 8-byte blocks", false;
    if (offset + length > 0xFFFFFFFFu) return error = payloadLabel + ": larger than an archive can be", false;
    payload_ = std::make_unique<PayloadReadStream>(file_, uint32_t(offset), uint32_t(length), package.key);
    if (!payload_->IsReady()) return error = "out of memory for the payload's window", false;
    if (!archive_.OpenForReading(*payload_)) {
      if (payload_->OutOfMemory()) return error = "out of memory for the cipher tables", false;
      return error = payloadLabel + ": does not decipher to a package archive (wrong key or damaged)", false;
    }
    int32_t integrity = archive_.CheckIntegrity();
    if (integrity < 0)
      return error = payloadLabel + ": the archive fails its integrity check (code " + std::to_string(integrity) + ")", false;
    return true;
  }
  StorageManager& Archive() { return archive_; }

 private:
  StorageManagerFileStream file_;
  std::unique_ptr<PayloadReadStream> payload_;
  StorageManager archive_{kPackageSignature, kPackageVersion};  // closed before the streams go
};

// What walking the files of a package does with them.
class PackageVisitor : public EntrySink {
 public:
  virtual bool Folder(const ManifestEntry& e, std::string& error) = 0;
  // A file's content follows through Take, then End.
  virtual bool Begin(const ManifestEntry& e, std::string& error) = 0;
  virtual bool End(std::string& error) = 0;
  std::string problem;  // what a refused Take was about

 protected:
  ~PackageVisitor() = default;
};

// Counts what passes to the visitor (and tells the progress line).
class CountingSink final : public EntrySink {
 public:
  CountingSink(EntrySink& next, Progress* progress) : next_(next), progress_(progress) {}
  bool Take(const uint8_t* data, size_t length) override {
    count += length;
    if (progress_) progress_->Add(length, 0);
    return next_.Take(data, length);
  }
  uint64_t count = 0;

 private:
  EntrySink& next_;
  Progress* progress_;
};

// Reads every file of the package in pieces and hands it to the visitor. Checks that each
// file is present and not empty, and that the sizes add up to TotalBytes.
bool ReadFiles(const OpenedPackage& package, const std::string& payloadLabel, const std::string& manifestLabel,
               StorageManager& archive, PackageVisitor& visitor, std::string& error, Progress* progress) {
  uint64_t total = 0;
  for (const ManifestEntry& e : package.manifest.Entries) {
    std::string archiveName, problem;
    CheckEntryName(e.Name, archiveName, problem);
    if (e.Kind == Folder) {
      if (!visitor.Folder(e, error)) return false;
      continue;
    }
    if (!visitor.Begin(e, error)) return false;
    CountingSink sink(visitor, progress);
    int32_t length = archive.ReadEntryTo(archiveName, sink);
    if (length == StorageWriteFailed && !visitor.problem.empty()) return error = visitor.problem, false;
    if (length < 0) {
      error = payloadLabel + ": \"" + Utf16ToUtf8(e.Name) + "\" cannot be read from the archive (code " +
              std::to_string(length) + ")";
      return false;
    }
    if (length == 0) {
      error = payloadLabel + ": \"" + Utf16ToUtf8(e.Name) + "\" is empty in the archive";
      return false;
    }
    int32_t stored = archive.GetEntryLength(archiveName);
    if (stored <= 0) {
      error = payloadLabel + ": \"" + Utf16ToUtf8(e.Name) + "\" has no stored length in the archive";
      return false;
    }
    total += sink.count;
    if (!visitor.End(error)) return false;
    if (progress) progress->Add(0, 1);
  }
  std::set<std::string> listed;
  for (const ManifestEntry& e : package.manifest.Entries) {
    std::string archiveName, problem;
    if (e.Kind != Folder && CheckEntryName(e.Name, archiveName, problem)) listed.insert(archiveName);
  }
  size_t extra = 0;
  for (const auto& entry : archive.Root().entries) extra += !listed.count(entry.first);
  if (extra) {
    error = payloadLabel + ": the archive holds " + std::to_string(extra) + " entries that the manifest does not list";
    return false;
  }
  if (total != package.manifest.TotalBytes) {
    error = manifestLabel + ": total bytes " + std::to_string(package.manifest.TotalBytes) +
            ", but the files in the archive add up to " + std::to_string(total);
    return false;
  }
  return true;
}

// Counts folders and files, and shows the files to the observer.
class CheckVisitor final : public PackageVisitor {
 public:
  CheckVisitor(PackageCheck& check, PackageFileObserver* observer) : check_(check), observer_(observer) {}
  bool Folder(const ManifestEntry&, std::string&) override { return ++check_.folders, true; }
  bool Begin(const ManifestEntry& e, std::string&) override {
    if (observer_) observer_->Begin(e.Name);
    return ++check_.files, true;
  }
  bool Take(const uint8_t* data, size_t length) override { return !observer_ || observer_->Take(data, length, problem); }
  bool End(std::string& error) override { return !observer_ || observer_->End(error); }

 private:
  PackageCheck& check_;
  PackageFileObserver* observer_;
};

size_t FileCount(const PackageManifest& manifest) {
  size_t files = 0;
  for (const ManifestEntry& e : manifest.Entries) files += e.Kind != Folder;
  return files;
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

const CommandSpec kBuildSpec{
    "build", "PRODUCT_DIR --version N --key HEX -o OUTDIR [--order FILE] [--allow-long-paths] [--quiet]",
    "make a package (manifest.bin, payload.bin) from a product folder", 1, 1,
    {{"--version", "N", "the package's version number, 0 to 65535"},
     {"--key", "HEX", "the payload key, 16 hex digits, not all zero"},
     {"-o", "OUTDIR", "the folder that gets manifest.bin and payload.bin"},
     kOrderOption,
     kAllowLongPathsOption,
     kQuietOption,
     kSetupLimitOption}};
const CommandSpec kVerifySpec{"verify", "MANIFEST PAYLOAD",
                              "check that a package's payload holds every file of its manifest", 2, 2, {}};
const CommandSpec kExtractSpec{"extract", "MANIFEST PAYLOAD DIR [--quiet]",
                               "write the files of a package into a new folder (or an empty one)", 3, 3, {kQuietOption}};

bool CheckPackageInFile(const Bytes& manifest, const std::string& manifestLabel, const fs::path& file, uint64_t offset,
                        uint64_t length, const std::string& payloadLabel, PackageCheck& check, std::string& error,
                        const char* progressLabel, bool quiet, PackageFileObserver* observer) {
  OpenedPackage package;
  if (!OpenManifest(manifest, manifestLabel, package, error)) return false;
  check.manifest = package.manifest;
  check.files = check.folders = 0;
  PayloadArchive payload;
  if (!payload.Open(file, offset, length, package, payloadLabel, error)) return false;
  CheckVisitor visitor(check, observer);
  Progress progress(progressLabel ? progressLabel : "", package.manifest.TotalBytes, FileCount(package.manifest),
                    quiet || !progressLabel);
  return ReadFiles(package, payloadLabel, manifestLabel, payload.Archive(), visitor, error, &progress);
}

int RunBuild(const CommandLine& cl) {
  const std::string command = "build";
  if (!cl.Has("--version") || !cl.Has("--key") || !cl.Has("-o")) return PrintUsage(kBuildSpec), 2;
  uint64_t version = 0;
  std::string error;
  if (!ParseNumber(cl.Value("--version"), 0, 0xFFFF, "the version", version, error)) return Fail(command, error);
  std::optional<PayloadKey> key = ParseKey(cl.Value("--key"));
  if (!key) return Fail(command, "the key must be 16 hex digits, not '" + cl.Value("--key") + "'");
  if (*key == PayloadKey{}) return Fail(command, "the key must not be all zero: the key provider never yields that key");
  uint64_t limit = 0;
  if (!SetupLimit(cl, limit, error)) return Fail(command, error);

  fs::path root = PathFromUtf8(cl.positional[0]);
  fs::path order;
  if (cl.Has("--order")) order = PathFromUtf8(cl.Value("--order"));
  ProductTree tree;
  if (!ScanProduct(root, order.empty() ? nullptr : &order, tree, error)) return Fail(command, error);
  if (!cl.Has("--allow-long-paths") && !CheckInstallPaths(tree, error)) return Fail(command, error);

  fs::path out = PathFromUtf8(cl.Value("-o"));
  std::error_code ec;
  fs::create_directories(out, ec);
  if (!fs::is_directory(out, ec)) return Fail(command, Display(out) + ": cannot create the output folder");
  // The setup program the build embeds these in adds its stub; what is left for the
  // package is checked as it grows.
  const uint64_t room = limit > kStubReserveBytes ? limit - kStubReserveBytes : 0;
  SizeCheck check = [&](uint64_t packageBytes, std::string& problem) {
    if (packageBytes <= room) return true;
    problem = SetupTooLarge(packageBytes + kStubReserveBytes, limit);
    return false;
  };
  BuiltPackage built;
  {
    Progress progress("build", tree.totalBytes, tree.entries.size() - FolderCount(tree), cl.Has("--quiet"));
    if (!BuildPackage(tree, uint16_t(version), *key, out / "payload.bin", PackCompressor::Zlib9, check, built, error,
                      &progress))
      return Fail(command, error);
  }
  AtomicFileWriter payload;
  if (!WriteFileAtomically(out / "manifest.bin", built.manifest, error) || !payload.Start(out / "payload.bin", error) ||
      !built.WritePayload([&](const uint8_t* data, size_t n) { return payload.Write(data, n); }, error) ||
      !payload.Commit(error))
    return Fail(command, error);
  std::printf("%s\n", DescribeBuild(tree, built).c_str());
  return 0;
}

int RunVerify(const CommandLine& cl) {
  const std::string command = "verify";
  fs::path manifestPath = PathFromUtf8(cl.positional[0]), payloadPath = PathFromUtf8(cl.positional[1]);
  Bytes manifestBytes;
  std::string error;
  if (!ReadWholeFile(manifestPath, manifestBytes, error)) return Fail(command, error);
  uint64_t size = 0;
  if (!PayloadFileSize(payloadPath, size, error)) return Fail(command, error);
  PackageCheck check;
  if (!CheckPackageInFile(manifestBytes, Display(manifestPath), payloadPath, 0, size, Display(payloadPath), check, error))
    return Fail(command, error);
  std::printf("ok: version %u, %zu entries (%zu files, %zu folders), %llu bytes\n", unsigned(check.manifest.Version),
              check.manifest.Entries.size(), check.files, check.folders,
              static_cast<unsigned long long>(check.manifest.TotalBytes));
  return 0;
}

namespace {

// Writes the files of a package below a folder, each synced and put in place whole.
class ExtractVisitor final : public PackageVisitor {
 public:
  explicit ExtractVisitor(const fs::path& root) : root_(root) {}
  bool Folder(const ManifestEntry& e, std::string& error) override {
    fs::path path = PathOf(e);
    std::error_code ec;
    fs::create_directories(path, ec);
    if (ec) error = Display(path) + ": cannot create: " + ec.message();
    return !ec;
  }
  bool Begin(const ManifestEntry& e, std::string& error) override {
    fs::path path = PathOf(e);
    std::error_code ec;
    fs::create_directories(path.parent_path(), ec);
    return file_.Start(path, error);
  }
  bool Take(const uint8_t* data, size_t length) override {
    if (file_.Write(data, length)) return true;
    problem = "cannot write an extracted file";
    return false;
  }
  bool End(std::string& error) override { return file_.Commit(error); }

 private:
  fs::path PathOf(const ManifestEntry& e) const {
    fs::path path = root_;
    size_t start = 0;
    for (;;) {
      size_t slash = e.Name.find(u'\\', start);
      path /= Utf16ToPath(e.Name.substr(start, slash == std::u16string::npos ? slash : slash - start));
      if (slash == std::u16string::npos) break;
      start = slash + 1;
    }
    return path;
  }

  fs::path root_;
  AtomicFileWriter file_;
};

}  // namespace

int RunExtract(const CommandLine& cl) {
  const std::string command = "extract";
  fs::path manifestPath = PathFromUtf8(cl.positional[0]), payloadPath = PathFromUtf8(cl.positional[1]),
           target = PathFromUtf8(cl.positional[2]);
  std::error_code ec;
  if (fs::exists(fs::symlink_status(target, ec))) {
    if (!fs::is_directory(fs::symlink_status(target, ec)) || !fs::is_empty(target, ec))
      return Fail(command, Display(target) + ": already exists and is not an empty folder");
  }
  Bytes manifestBytes;
  std::string error;
  uint64_t size = 0;
  OpenedPackage package;
  if (!ReadWholeFile(manifestPath, manifestBytes, error) || !PayloadFileSize(payloadPath, size, error) ||
      !OpenManifest(manifestBytes, Display(manifestPath), package, error))
    return Fail(command, error);
  PayloadArchive payload;
  if (!payload.Open(payloadPath, 0, size, package, Display(payloadPath), error)) return Fail(command, error);

  // Everything goes into a temporary folder beside the target, which takes the target's
  // name only when the whole package is out.
  const fs::path named = target.has_filename() ? target : target.parent_path();
  TemporaryFolder folder;
  if (!folder.Make(named.parent_path(), Display(named.filename()), error)) return Fail(command, error);
  const fs::path temp = folder.Path();
  bool ok;
  {
    ExtractVisitor visitor(temp);
    Progress progress("extract", package.manifest.TotalBytes, FileCount(package.manifest), cl.Has("--quiet"));
    ok = ReadFiles(package, Display(payloadPath), Display(manifestPath), payload.Archive(), visitor, error, &progress);
  }
  ok = ok && SyncTree(temp, error);
  if (ok && fs::exists(target, ec)) fs::remove(target, ec);
  if (ok) {
    fs::rename(temp, target, ec);
    if (ec) error = Display(target) + ": cannot put in place: " + ec.message();
    ok = !ec;
  }
  if (!ok) return Fail(command, error);  // the folder goes with everything in it
  folder.Keep(target);
  fs::path parent = fs::absolute(target, ec).parent_path();
  std::string ignored;  // in place already; only less sure to outlast a power cut
  SyncFolder(parent, ignored);
  std::printf("extracted %zu entries into %s\n", package.manifest.Entries.size(), Display(target).c_str());
  return 0;
}

}  // namespace tolvane::pack
