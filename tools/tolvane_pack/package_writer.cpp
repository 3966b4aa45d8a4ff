// Making a package in bounded memory: the files are read, compressed and appended to a
// plain archive file piece by piece; the archive is enciphered as it is copied out.
#include <exception>
#include <fstream>
#include <system_error>

#include "package/key_provider.h"
#include "package/manifest.h"
#include "package/payload_cipher.h"
#include "storage/storage_manager.h"
#include "tools/tolvane_pack/file_io.h"
#include "tools/tolvane_pack/package_commands.h"
#include "tools/tolvane_pack/text_codec.h"

namespace tolvane::pack {

namespace fs = std::filesystem;

namespace {

constexpr size_t kCipherPiece = 1u << 20;  // a whole number of 8-byte blocks

// The stored payload of one file, as the deflater hands it out.
class FileSource final : public StorageManager::PayloadSource {
 public:
  explicit FileSource(PackageDeflater& deflater) : deflater_(deflater) {}
  bool Next(const uint8_t*& data, uint32_t& length) override {
    if (ended_) return length = 0, true;
    bool last = false;
    if (!deflater_.NextPiece(data, length, last, error_)) return false;
    ended_ = last;
    return true;
  }
  const std::string& Error() const { return error_; }

 private:
  PackageDeflater& deflater_;
  bool ended_ = false;
  std::string error_;
};

}  // namespace

BuiltPackage::~BuiltPackage() = default;

bool BuildPackage(const ProductTree& tree, uint16_t version, const PayloadKey& key, const fs::path& beside,
                  PackCompressor compressor, const SizeCheck& check, BuiltPackage& built, std::string& error,
                  Progress* progress) {
  PackageManifest manifest;
  manifest.Version = version;
  manifest.Reserved = 0;
  manifest.TotalBytes = tree.totalBytes;
  manifest.KeyBlock = MakeKeyBlock(key);
  PayloadKey again;
  if (!KeyProvider(manifest.KeyBlock, again) || again != key) return error = "cannot make the key block", false;
  built.key = key;

  std::vector<DeflateInput> files;
  for (const ProductEntry& entry : tree.entries) {
    manifest.Entries.push_back({entry.name, entry.kind});
    if (entry.kind != Folder) files.push_back({entry.path, entry.size});
  }
  built.manifest = WriteManifest(manifest);

  // The plain archive lies in a private folder, where no one else can put a link at its name.
  fs::path folder = beside.parent_path();
  if (!built.workFolder.Make(folder.empty() ? fs::path(".") : folder, Display(beside.filename()), error)) return false;
  built.archive = built.workFolder.Path() / "archive";
  std::wstring wide;
  std::string problem;
  if (!WideName(built.archive, wide, problem)) return error = Display(built.archive) + ": the name is " + problem, false;
  auto stream = std::make_unique<StorageManagerFileStream>();
  if (stream->Open(wide, CreateNew) != CreatedNew)
    return error = Display(built.archive) + ": cannot create the archive's temporary file", false;
  StorageManager archive(kPackageSignature, kPackageVersion);
  if (!archive.Open(std::move(stream), CreatedNew)) return error = Display(built.archive) + ": cannot start the archive", false;

  PackageDeflater deflater(std::move(files), compressor, PackageDeflater::DefaultWorkers());
  for (const ProductEntry& entry : tree.entries) {
    if (entry.kind == Folder) continue;
    FileSource source(deflater);
    int32_t written = archive.AppendEntryRaw(entry.archiveName, source);
    if (!source.Error().empty()) return archive.Discard(), error = source.Error(), false;
    if (written <= 0) {
      archive.Discard();
      return error = Display(entry.path) + ": cannot be stored in the archive (code " + std::to_string(written) + ")", false;
    }
    if (check && !check(archive.End() + built.manifest.size(), error)) return archive.Discard(), false;
    if (progress) progress->Add(entry.size, 1);
  }
  if (!archive.Close()) return error = "cannot finish the archive in " + Display(built.archive), false;
  std::error_code ec;
  built.payloadBytes = fs::file_size(built.archive, ec);
  if (ec) return error = Display(built.archive) + ": cannot read its size", false;
  if (built.payloadBytes % 8 != 0) return error = "the archive is not a whole number of 8-byte blocks", false;
  if (check && !check(built.payloadBytes + built.manifest.size(), error)) return false;
  return true;
}

bool BuiltPackage::WritePayload(const std::function<bool(const uint8_t*, size_t)>& put, std::string& error) const {
  std::ifstream in(archive, std::ios::binary);
  if (!in) return error = Display(archive) + ": cannot open the archive", false;
  Bytes piece;
  try {
    piece.resize(kCipherPiece);
  } catch (const std::exception&) {
    return error = "out of memory for the cipher", false;
  }
  uint64_t left = payloadBytes;
  while (left) {
    size_t n = size_t(std::min<uint64_t>(left, piece.size()));
    if (!in.read(reinterpret_cast<char*>(piece.data()), std::streamsize(n)))
      return error = Display(archive) + ": the archive cannot be read back", false;
    if (!EncipherBuffer(piece.data(), n, key.data())) return error = "out of memory for the cipher tables", false;
    if (!put(piece.data(), n)) return error = "cannot write the payload", false;
    left -= n;
  }
  return true;
}

std::string DescribeBuild(const ProductTree& tree, const BuiltPackage& built) {
  const size_t folders = FolderCount(tree);
  return std::to_string(tree.entries.size()) + " entries (" + std::to_string(tree.entries.size() - folders) +
         " files, " + std::to_string(folders) + " folders), " + std::to_string(tree.totalBytes) + " bytes; manifest " +
         std::to_string(built.manifest.size()) + " bytes, payload " + std::to_string(built.payloadBytes) + " bytes";
}

}  // namespace tolvane::pack
