// Writes the seed corpus of the archive fuzz target: archives of several shapes, each
// followed by a short script of operations and its length byte, and crafted archives that
// inflate a thousandfold (kept under the fuzzer's 1 MiB input limit).
#include <cstdio>
#include <string>
#include <vector>

#include "storage/storage_manager.h"
#include "tests/storage/archive_bombs.h"

namespace {

std::vector<uint8_t> Text(size_t n, unsigned seed) {
  std::vector<uint8_t> out(n);
  for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>("abc de\r\nfgh"[(i * seed + i / 7) % 11]);
  return out;
}

bool Save(const std::string& dir, const std::string& name, std::vector<uint8_t> image,
          const std::vector<uint8_t>& script) {
  image.insert(image.end(), script.begin(), script.end());
  image.push_back(static_cast<uint8_t>(script.size()));
  std::string path = dir + "/" + name;
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  bool ok = std::fwrite(image.data(), 1, image.size(), f) == image.size();
  return std::fclose(f) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: storage_fuzz_seeds DIR\n");
    return 2;
  }
  const std::string dir = argv[1];
  std::vector<std::vector<uint8_t>> images;
  for (uint32_t options : {0u, 3u}) {
    // Header only; one raw entry; several entries with a hole; nested folders.
    for (int shape = 0; shape < 4; ++shape) {
      std::vector<uint8_t> bytes;
      StorageManager m(kPackageSignature, kPackageVersion);
      m.SetRequestedOptions(options);
      if (!m.Open(bytes, CreateNew)) return 1;
      if (shape == 1) m.WriteEntryRaw("a", "xyz", 3);
      if (shape == 2) {
        for (int i = 0; i < 6; ++i) {
          auto t = Text(40 + 90 * i, i + 1);
          m.WriteEntry("f" + std::to_string(i), t.data(), static_cast<uint32_t>(t.size()));
        }
        m.DeleteEntry("f2");
        m.DeleteEntry("f4");
      }
      if (shape == 3) {
        StorageFolder* a = m.CreateFolder("dir");
        StorageFolder* b = m.CreateFolder(*a, "sub");
        auto t = Text(300, 3);
        m.WriteEntry(*b, "f", t.data(), 300);
        m.WriteEntry(*a, "x.y", t.data(), 100);
        m.WriteEntry("b", t.data(), 50);
        m.CreateBlockRaw("plain block", 11);
      }
      if (!m.Close()) return 1;
      images.push_back(bytes);
    }
  }
  // Chunked streams of both kinds, their indexes plain or compressed.
  for (uint32_t options : {0u, 8u, 11u}) {
    std::vector<uint8_t> bytes;
    StorageManager m(kPackageSignature, kPackageVersion);
    m.SetRequestedOptions(options);
    if (!m.Open(bytes, CreateNew)) return 1;
    auto t = Text(900, 5);
    m.WriteEntry("f", t.data(), 200);
    if (m.CreateChunkedStream(t.data(), 900, 256, ChunkKindPlain) < 2) return 1;
    int32_t packed = m.CreateChunkedStream(t.data(), 700, 128, ChunkKindCompressed);
    if (packed < 2 || !m.ResizeChunkedStream(static_cast<uint32_t>(packed), 1100)) return 1;
    if (!m.Close()) return 1;
    images.push_back(bytes);
  }
  const std::vector<std::vector<uint8_t>> scripts = {
      {},
      {0, 1, 5, 2, 3, 13, 0},
      {3, 2, 0, 0, 9, 5, 0, 6, 0, 13, 0, 12, 1},
      {7, 40, 8, 3, 20, 9, 2, 10, 2, 50, 11, 3, 60, 12, 0},
      {1, 0x81, 200, 0, 0xFF, 9, 0, 0xFE, 9, 4, 2, 0, 3, 30, 5, 0, 13, 0},
      // Chunked streams: the archive's own read as indexes, new ones made, changed, repaired.
      {17, 3, 17, 4, 16, 3, 250, 40, 15, 4, 60, 19, 3, 14, 7, 90, 34, 0x85, 20, 16, 0x80, 3, 9, 17, 0x80,
       15, 0x80, 5, 13, 0, 17, 4, 18, 3, 19, 4},
      {0x54, 2, 30, 16, 0x80, 0xF0, 70, 17, 0x80, 9, 5, 15, 0x81, 2, 18, 0x80, 12, 1, 17, 5},
  };
  int index = 0;
  for (size_t i = 0; i < images.size(); ++i) {
    for (size_t k = 0; k < scripts.size(); ++k) {
      if ((i + k) % 2 && k) continue;
      if (!Save(dir, "seed" + std::to_string(index++), images[i], scripts[k])) return 1;
    }
  }
  // A damaged one: its length is not a multiple of 16.
  auto cut = images[2];
  cut.resize(cut.size() - 5);
  if (!Save(dir, "seed" + std::to_string(index++), cut, scripts[1])) return 1;

  // The bombs, each with a script that reads and changes what it can.
  using namespace tolvane::test;
  const std::vector<uint8_t> touch = {0, 0, 9, 10, 2, 0, 40, 17, 2, 13, 0, 12, 0};
  const std::pair<const char*, std::vector<uint8_t>> bombs[] = {
      {"bomb-directory", DirectoryBomb(40000000)},
      {"bomb-directory-free", DirectoryBomb(40000000, BlockFree)},
      {"bomb-entry", EntryBomb(1000000000)},
      {"bomb-chunk-index", EntryBomb(1000000000, 4)},
      {"bomb-folder", FolderBomb(110000000)},
      {"header-overlap", HeaderOverlap()},
  };
  for (const auto& b : bombs) {
    if (!Save(dir, b.first, b.second, touch)) return 1;
    ++index;
  }  std::printf("%d seeds in %s\n", index, dir.c_str());
  return 0;
}
