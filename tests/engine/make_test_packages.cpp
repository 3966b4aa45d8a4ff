// Host tool for the engine's Windows-side tests: writes small packages (manifest and
// enciphered payload), one intact and the others damaged in one particular way each, for
// test programs that embed them as their own resources.
//
//   make_test_packages OUTDIR
//
// For every variant V it writes OUTDIR/V.manifest and OUTDIR/V.payload, leaving out the
// one a variant lacks, and OUTDIR/V.rc naming the resources that exist.
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "package/key_provider.h"
#include "package/manifest.h"
#include "package/payload_cipher.h"
#include "storage/storage_manager.h"

namespace {

struct File {
  std::u16string name;
  uint32_t kind;
  std::vector<uint8_t> content;  // folders: empty
};

// Deterministic bytes: a compressible part and a noisy part.
std::vector<uint8_t> Content(size_t size, uint32_t seed) {
  std::vector<uint8_t> out(size);
  uint32_t x = seed * 2654435761u + 1;
  for (size_t i = 0; i < size; ++i) {
    x = x * 1103515245u + 12345u;
    out[i] = (i % 7 == 0) ? static_cast<uint8_t>(x >> 24) : static_cast<uint8_t>('a' + i % 23);
  }
  return out;
}

// The small product every variant starts from: two top-level files, a folder with a
// file, a nested folder with a file.
std::vector<File> Product() {
  return {
      {u"quavserver.exe", TopLevelFile, Content(3000, 1)},
      {u"project_manager.mod", TopLevelFile, Content(700, 2)},
      {u"database", Folder, {}},
      {u"database\\main.db", SubfolderFile, Content(20000, 3)},
      {u"database\\backup", Folder, {}},
      {u"database\\backup\\old.db", SubfolderFile, Content(513, 4)},
  };
}

const PayloadKey kKey = {0x3A, 0x91, 0x5C, 0x07, 0xE2, 0x48, 0xB6, 0x1D};
const PayloadKey kOtherKey = {0x10, 0x32, 0x54, 0x76, 0x98, 0xBA, 0xDC, 0xFE};

std::string Ansi(const std::u16string& name) {
  std::string out;
  for (char16_t c : name) out += static_cast<char>(c);  // the test names are ASCII
  return out;
}

struct Package {
  std::vector<uint8_t> manifest, payload;
  bool hasManifest = true, hasPayload = true;
};

// Builds manifest and payload from `listed` (the manifest) and `stored` (the archive).
bool Build(const std::vector<File>& listed, const std::vector<File>& stored, Package& out,
           const PayloadKey& cipherKey = kKey, const PayloadKey& blockKey = kKey) {
  out = Package();
  PackageManifest manifest;
  manifest.Version = 263;
  for (const File& f : listed) {
    manifest.Entries.push_back({f.name, f.kind});
    if (f.kind != Folder) manifest.TotalBytes += f.content.size();
  }
  manifest.KeyBlock = MakeKeyBlock(blockKey);
  out.manifest = WriteManifest(manifest);

  std::vector<uint8_t> archiveBytes;
  {
    StorageManager archive(kPackageSignature, kPackageVersion);
    if (!archive.Open(archiveBytes, CreateNew)) return false;
    for (const File& f : stored) {
      if (f.kind == Folder) continue;
      if (!f.content.empty()) {
        if (archive.WriteEntry(Ansi(f.name), f.content.data(), static_cast<uint32_t>(f.content.size())) <= 0) {
          return false;
        }
        continue;
      }
      // Writing no bytes would delete the name; an entry that exists with nothing in it
      // is made by emptying the block of one that had content.
      const uint8_t placeholder = 0;
      if (archive.WriteEntry(Ansi(f.name), &placeholder, 1) <= 0) return false;
      const uint32_t block = archive.Root().entries.at(Ansi(f.name)) & kEntryBlockMask;
      if (archive.RewriteBlock(block, nullptr, 0) < 0) return false;
    }
    archive.Close();
  }
  archiveBytes.resize((archiveBytes.size() + 7) / 8 * 8, 0);
  EncipherBuffer(archiveBytes.data(), archiveBytes.size(), cipherKey.data());
  out.payload = archiveBytes;
  return true;
}

bool WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream f(path, std::ios::binary);
  f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(f);
}

bool Emit(const std::string& dir, const std::string& variant, const Package& p) {
  const std::string base = dir + "/" + variant;
  std::string rc;
  if (p.hasManifest) {
    if (!WriteBytes(base + ".manifest", p.manifest)) return false;
    rc += "218 RCDATA \"" + base + ".manifest\"\n";
  }
  if (p.hasPayload) {
    if (!WriteBytes(base + ".payload", p.payload)) return false;
    rc += "219 RCDATA \"" + base + ".payload\"\n";
  }
  std::ofstream f(base + ".rc");
  f << rc;
  return static_cast<bool>(f);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_test_packages OUTDIR\n");
    return 2;
  }
  const std::string dir = argv[1];
  const std::vector<File> product = Product();
  bool ok = true;
  Package p;

  // An intact package of three files in two folder levels, for the removal tests.
  {
    std::vector<File> listed = product;
    listed.erase(listed.begin() + 1);  // project_manager.mod
    ok = ok && Build(listed, listed, p) && Emit(dir, "small", p);
  }

  // Payload of a length that is no whole number of cipher blocks.
  ok = ok && Build(product, product, p);
  p.payload.insert(p.payload.end(), {1, 2, 3});
  ok = ok && Emit(dir, "odd_payload", p);

  // A key block for another key than the payload's.
  ok = ok && Build(product, product, p, kKey, kOtherKey) && Emit(dir, "wrong_key", p);

  // A key block that the key provider refuses.
  ok = ok && Build(product, product, p);
  if (ok) {
    p.manifest[p.manifest.size() - 128 + 5] ^= 0x40;
  }
  ok = ok && Emit(dir, "refused_key_block", p);

  ok = ok && Build(product, product, p);
  p.hasManifest = false;
  ok = ok && Emit(dir, "no_manifest", p);

  ok = ok && Build(product, product, p);
  p.hasPayload = false;
  ok = ok && Emit(dir, "no_payload", p);

  // The manifest names a file after the first folder that the archive does not hold.
  {
    std::vector<File> listed = product;
    listed.insert(listed.begin() + 4, File{u"database\\gone.db", SubfolderFile, Content(10, 9)});
    p = Package();
    ok = ok && Build(listed, product, p) && Emit(dir, "missing_entry", p);
  }

  // A name that code page 936 cannot hold (Thai), listed where the archive holds what a
  // lossy conversion would make of it: the default character.
  {
    std::vector<File> listed = product, stored = product;
    listed.insert(listed.begin() + 4, File{u"database\\\u0E01.db", SubfolderFile, Content(10, 9)});
    stored.insert(stored.begin() + 4, File{u"database\\?.db", SubfolderFile, Content(10, 9)});
    p = Package();
    ok = ok && Build(listed, stored, p) && Emit(dir, "lossy_name", p);
  }

  // An entry stored with no content.
  {
    std::vector<File> listed = product;
    listed.insert(listed.begin() + 4, File{u"database\\empty.db", SubfolderFile, {}});
    p = Package();
    ok = ok && Build(listed, listed, p) && Emit(dir, "empty_entry", p);
  }

  // A name that climbs out of the install folder, listed after harmless files.
  {
    std::vector<File> listed = product;
    listed.push_back(File{u"database\\..\\..\\escaped.txt", SubfolderFile, Content(50, 5)});
    p = Package();
    ok = ok && Build(listed, listed, p) && Emit(dir, "escaping_name", p);
  }

  // A folder listed below a file: the folder cannot be created.
  {
    std::vector<File> listed = product;
    listed.insert(listed.begin() + 2, File{u"project_manager.mod\\plugins", Folder, {}});
    p = Package();
    ok = ok && Build(listed, listed, p) && Emit(dir, "folder_blocked", p);
  }

  // A manifest that claims no bytes although it lists files.
  {
    ok = ok && Build(product, product, p);
    ByteInputStream in(p.manifest.data(), p.manifest.size());
    PackageManifest m;
    ok = ok && ReadManifest(in, m);
    m.TotalBytes = 0;
    p.manifest = WriteManifest(m);
    ok = ok && Emit(dir, "zero_total", p);
  }

  if (!ok) {
    std::fprintf(stderr, "make_test_packages: could not write the packages to %s\n", dir.c_str());
    return 1;
  }
  return 0;
}
