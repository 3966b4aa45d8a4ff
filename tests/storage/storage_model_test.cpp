// Randomized operations against a plain in-memory model of folders, files and chunked
// streams. After every step the archive must hold exactly the model's content and its
// regions must tile it.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>

#include "storage/storage_manager.h"
#include "tests/storage/test_util.h"

namespace {

using Path = std::vector<std::string>;

struct ModelFile {
  std::vector<uint8_t> content;
  bool raw = false;  // stored as given rather than compressed
};

struct ModelFolder {
  std::map<std::string, ModelFile> files;
  std::map<std::string, ModelFolder> folders;
};

// A chunked stream is its bytes; growing it adds zeros.
struct ModelChunked {
  uint16_t kind = ChunkKindPlain;
  uint16_t chunkSize = 0;
  std::vector<uint8_t> bytes;
};

class ModelRun {
 public:
  ModelRun(uint32_t seed, uint32_t options) : rng_(seed), options_(options) {
    archive_.SetRequestedOptions(options);
    EXPECT_TRUE(archive_.Open(bytes_, OpenOrCreate));
  }

  void Step() {
    // Weights out of 120: writes and rewrites dominate, as they do in use.
    static const struct {
      uint32_t upTo;
      void (ModelRun::*op)();
    } kOps[] = {{30, &ModelRun::WriteNew},      {50, &ModelRun::Rewrite},         {62, &ModelRun::Delete},
                {70, &ModelRun::MakeFolder},    {75, &ModelRun::RemoveFolder},    {85, &ModelRun::CloseSomeFolder},
                {91, &ModelRun::ReadParts},     {96, &ModelRun::Reopen},          {100, &ModelRun::CopyAndSwitch},
                {104, &ModelRun::ChunkCreate},  {112, &ModelRun::ChunkWrite},     {117, &ModelRun::ChunkResize},
                {120, &ModelRun::ChunkRead}};
    uint32_t roll = Pick(120);
    size_t i = 0;
    while (roll >= kOps[i].upTo) ++i;
    (this->*kOps[i].op)();
    ++done_[i];
    Verify();
  }

  // How often each kind of operation ran.
  const std::map<size_t, int>& Done() const { return done_; }

  void Verify() {
    uint32_t bad = 0;
    ASSERT_EQ(0, archive_.CheckIntegrity(&bad)) << "first record out of place: " << bad;
    // Released space is always merged, and free space is never left at the end.
    auto regions = tolvane::test::FreeRegions(archive_);
    std::sort(regions.begin(), regions.end());
    for (size_t i = 1; i < regions.size(); ++i) {
      ASSERT_NE(regions[i - 1].first + regions[i - 1].second, regions[i].first) << "free regions touch";
    }
    for (const auto& r : regions) ASSERT_NE(archive_.End(), r.first + r.second) << "free space at the end";
    CompareFolder(model_, {});
    CompareChunked();
  }

 private:
  uint32_t Pick(uint32_t n) { return static_cast<uint32_t>(rng_() % n); }

  ModelFolder& ModelAt(const Path& path) {
    ModelFolder* f = &model_;
    for (const auto& p : path) f = &f->folders.at(p);
    return *f;
  }

  // The archive's folder for path, opened (and kept open) as needed.
  StorageFolder* Open(const Path& path) {
    if (path.empty()) return &archive_.Root();
    auto it = open_.find(path);
    if (it != open_.end()) return it->second;
    StorageFolder* parent = Open(Path(path.begin(), path.end() - 1));
    EXPECT_NE(nullptr, parent);
    if (!parent) return nullptr;
    StorageFolder* f = archive_.OpenFolder(*parent, path.back());
    EXPECT_NE(nullptr, f) << path.back();
    if (f) open_[path] = f;
    return f;
  }

  // A random folder of the model, as a path.
  Path RandomFolder() {
    Path path;
    ModelFolder* f = &model_;
    while (!f->folders.empty() && Pick(3) != 0) {
      auto it = f->folders.begin();
      std::advance(it, Pick(static_cast<uint32_t>(f->folders.size())));
      path.push_back(it->first);
      f = &it->second;
    }
    return path;
  }

  std::string NewName() {
    static const char* const kStems[] = {"a", "b", "Readme", "readme", "bin\\server.exe", "\xE6\x96\x87", "x.y"};
    std::string name = kStems[Pick(7)];
    name += std::to_string(Pick(40));
    if (Pick(50) == 0) name = std::string(255, static_cast<char>('A' + Pick(26)));
    return name;
  }

  std::vector<uint8_t> NewContent() {
    uint32_t size = Pick(10) == 0 ? 1 + Pick(20000) : 1 + Pick(1500);
    return tolvane::test::SampleContent(size, static_cast<uint32_t>(rng_()));
  }

  size_t FileCount(const ModelFolder& f) const {
    size_t n = f.files.size();
    for (const auto& s : f.folders) n += FileCount(s.second);
    return n;
  }

  void Put(const Path& path, const std::string& name, const ModelFile& file, bool compact) {
    StorageFolder* f = Open(path);
    ASSERT_NE(nullptr, f);
    auto size = static_cast<uint32_t>(file.content.size());
    int32_t r = file.raw ? archive_.WriteEntryRaw(*f, name, file.content.data(), size, compact)
                         : archive_.WriteEntry(*f, name, file.content.data(), size, compact);
    ASSERT_GT(r, 0) << name;
    ModelAt(path).files[name] = file;
  }

  void WriteNew() {
    if (FileCount(model_) > 80) return Delete();
    Path path = RandomFolder();
    std::string name = NewName();
    ModelFolder& m = ModelAt(path);
    StorageFolder* f = Open(path);
    ASSERT_NE(nullptr, f);
    if (m.folders.count(name)) {
      // A subfolder's name never takes a file.
      EXPECT_EQ(0, archive_.WriteEntry(*f, name, "x", 1));
      return;
    }
    Put(path, name, ModelFile{NewContent(), Pick(3) == 0}, Pick(4) != 0);
  }

  bool RandomFile(Path& path, std::string& name) {
    for (int tries = 0; tries < 8; ++tries) {
      path = RandomFolder();
      ModelFolder& m = ModelAt(path);
      if (m.files.empty()) continue;
      auto it = m.files.begin();
      std::advance(it, Pick(static_cast<uint32_t>(m.files.size())));
      name = it->first;
      return true;
    }
    return false;
  }

  void Rewrite() {
    Path path;
    std::string name;
    if (!RandomFile(path, name)) return WriteNew();
    ModelFile file = ModelAt(path).files.at(name);
    if (Pick(2)) {
      file.content.resize(1 + Pick(static_cast<uint32_t>(file.content.size())));  // shorter
    } else {
      file.content = NewContent();
    }
    file.raw = Pick(3) == 0;
    Put(path, name, file, Pick(4) != 0);
  }

  void Delete() {
    Path path;
    std::string name;
    if (!RandomFile(path, name)) return;
    StorageFolder* f = Open(path);
    ASSERT_NE(nullptr, f);
    if (Pick(2)) {
      ASSERT_EQ(0, archive_.DeleteEntry(*f, name));
    } else {
      ASSERT_EQ(0, archive_.WriteEntryRaw(*f, name, nullptr, 0));
    }
    ModelAt(path).files.erase(name);
  }

  void MakeFolder() {
    Path path = RandomFolder();
    if (path.size() >= 3) return;
    std::string name = "dir" + std::to_string(Pick(12));
    ModelFolder& m = ModelAt(path);
    StorageFolder* parent = Open(path);
    ASSERT_NE(nullptr, parent);
    StorageFolder* f = archive_.CreateFolder(*parent, name);
    if (m.files.count(name) || m.folders.count(name)) {
      EXPECT_EQ(nullptr, f);
      return;
    }
    ASSERT_NE(nullptr, f);
    Path sub = path;
    sub.push_back(name);
    open_[sub] = f;
    m.folders[name];
  }

  void ForgetOpen(const Path& path) {
    for (auto it = open_.begin(); it != open_.end();) {
      bool below = it->first.size() >= path.size() && std::equal(path.begin(), path.end(), it->first.begin());
      it = below ? open_.erase(it) : std::next(it);
    }
  }

  // Closes the open folders below path, deepest first.
  void CloseBelow(const Path& path) {
    std::vector<Path> paths;
    for (const auto& o : open_) {
      if (o.first.size() > path.size() && std::equal(path.begin(), path.end(), o.first.begin()))
        paths.push_back(o.first);
    }
    std::sort(paths.begin(), paths.end(), [](const Path& a, const Path& b) { return a.size() > b.size(); });
    for (const auto& p : paths) {
      ASSERT_TRUE(archive_.CloseFolder(open_.at(p)));
      open_.erase(p);
    }
  }

  void RemoveFolder() {
    Path path = RandomFolder();
    if (path.empty()) return;
    ModelFolder& m = ModelAt(path);
    if (!m.folders.empty()) return;
    CloseBelow(path);
    Path parentPath(path.begin(), path.end() - 1);
    StorageFolder* parent = Open(parentPath);
    StorageFolder* f = Open(path);
    ASSERT_TRUE(parent && f);
    uint32_t block = parent->entries.at(path.back()) & kEntryBlockMask;
    if (block == 0) {
      EXPECT_FALSE(archive_.DeleteFolder(f));  // never saved
      ASSERT_TRUE(archive_.CloseFolder(f));
      open_.erase(path);
      if (parent->entries.at(path.back()) & kEntryBlockMask) {
        f = Open(path);
        ASSERT_TRUE(archive_.DeleteFolder(f));
      } else {
        ASSERT_TRUE(archive_.DetachFolder(*parent, path.back()));  // empty: nothing to free
      }
    } else {
      ASSERT_TRUE(archive_.DeleteFolder(f));
    }
    ForgetOpen(path);
    ModelAt(parentPath).folders.erase(path.back());
  }

  void CloseSomeFolder() {
    if (open_.empty()) return;
    auto it = open_.begin();
    std::advance(it, Pick(static_cast<uint32_t>(open_.size())));
    CloseBelow(it->first);
    Path path = it->first;
    ASSERT_TRUE(archive_.CloseFolder(open_.at(path)));
    open_.erase(path);
  }

  void ReadParts() {
    Path path;
    std::string name;
    if (!RandomFile(path, name)) return;
    const ModelFile& file = ModelAt(path).files.at(name);
    StorageFolder* f = Open(path);
    ASSERT_NE(nullptr, f);
    uint32_t block = f->entries.at(name) & kEntryBlockMask;
    std::vector<uint8_t> stored;
    int32_t n = archive_.ReadBlockRaw(block, stored);
    ASSERT_GT(n, 0);
    uint32_t offset = Pick(static_cast<uint32_t>(n));
    std::vector<uint8_t> part(64);
    int32_t got = archive_.ReadBlockPart(block, part.data(), 64, offset);
    ASSERT_EQ(std::min<int32_t>(64, n - static_cast<int32_t>(offset)), got);
    EXPECT_TRUE(std::equal(part.begin(), part.begin() + got, stored.begin() + offset));
    if (!file.raw) {
      std::vector<uint8_t> cut;
      uint32_t max = 1 + Pick(static_cast<uint32_t>(file.content.size()));
      ASSERT_EQ(static_cast<int32_t>(max), archive_.ReadEntry(*f, name, cut, max));
      EXPECT_TRUE(std::equal(cut.begin(), cut.end(), file.content.begin()));
    }
  }

  void Reopen() {
    open_.clear();
    ASSERT_TRUE(archive_.Close());
    ASSERT_TRUE(archive_.Open(bytes_, Pick(2) ? OpenReadWrite : OpenOrCreate));
    ASSERT_EQ(0u, bytes_.size() % 16);
    EXPECT_EQ(options_ & 11, archive_.Options() & 11);
  }

  void CopyAndSwitch() {
    std::vector<uint8_t> copy;
    {
      StorageManagerMemoryStream target;
      ASSERT_EQ(CreatedNew, target.Open(copy, CreateNew));
      ASSERT_EQ(0, archive_.CopyTo(target, Pick(2) == 0));
    }
    open_.clear();
    ASSERT_TRUE(archive_.Close());
    bytes_.swap(copy);
    ASSERT_TRUE(archive_.Open(bytes_, OpenReadWrite));
    EXPECT_TRUE(tolvane::test::FreeRegions(archive_).empty());
    if (!archive_.Directory().empty()) {
      const BlockRecord& d = archive_.Directory()[0];
      EXPECT_EQ(bytes_.size(), uint64_t{d.offset} + d.size);
    }
  }

  // --- Chunked streams

  uint32_t RandomStream() {
    auto it = chunked_.begin();
    std::advance(it, Pick(static_cast<uint32_t>(chunked_.size())));
    return it->first;
  }

  void ChunkCreate() {
    if (chunked_.size() >= 6 || (!chunked_.empty() && Pick(4) == 0)) {
      uint32_t block = RandomStream();
      ASSERT_TRUE(archive_.DeleteChunkedStream(block));
      chunked_.erase(block);
      EXPECT_EQ(StorageNoChunkedStream, archive_.GetChunkedStreamLength(block));
      return;
    }
    static const uint16_t kSizes[] = {3, 64, 100, 512, 4092};
    ModelChunked s;
    s.kind = Pick(2) ? ChunkKindPlain : ChunkKindCompressed;
    s.chunkSize = kSizes[Pick(5)];
    uint32_t length = Pick(std::min<uint32_t>(20000, s.chunkSize * 40u) + 1);
    s.bytes = Pick(3) ? tolvane::test::SampleContent(length, static_cast<uint32_t>(rng_())) : std::vector<uint8_t>(length, 0);
    int32_t block = archive_.CreateChunkedStream(s.bytes.data(), length, s.chunkSize, s.kind);
    ASSERT_GE(block, 2);
    ASSERT_EQ(0u, chunked_.count(static_cast<uint32_t>(block)));
    chunked_[static_cast<uint32_t>(block)] = std::move(s);
  }

  // An offset into a stream of length bytes, as often counted from the end as from the start.
  int64_t RandomOffset(uint32_t length, uint32_t& start) {
    start = Pick(length + 1);
    // From the end, the end itself would be 0: that is the start.
    return Pick(2) || start == length ? int64_t{start} : int64_t{start} - length;
  }

  void ChunkWrite() {
    if (chunked_.empty()) return ChunkCreate();
    uint32_t block = RandomStream();
    ModelChunked& s = chunked_.at(block);
    uint32_t start;
    int64_t offset = RandomOffset(static_cast<uint32_t>(s.bytes.size()), start);
    uint32_t length = Pick(3) ? Pick(s.chunkSize * 3u + 2) : Pick(s.chunkSize + 1);
    auto data = tolvane::test::SampleContent(length, static_cast<uint32_t>(rng_()));
    uint32_t expected = std::min<uint32_t>(length, static_cast<uint32_t>(s.bytes.size()) - start);
    ASSERT_EQ(static_cast<int32_t>(expected), archive_.WriteChunkedStream(block, data.data(), length, offset));
    std::copy(data.begin(), data.begin() + expected, s.bytes.begin() + start);
  }

  void ChunkResize() {
    if (chunked_.empty()) return ChunkCreate();
    uint32_t block = RandomStream();
    ModelChunked& s = chunked_.at(block);
    uint32_t length = Pick(2) ? Pick(static_cast<uint32_t>(s.bytes.size()) + 1)
                              : static_cast<uint32_t>(s.bytes.size()) + Pick(s.chunkSize * 4u);
    length = std::min<uint32_t>(length, std::min<uint32_t>(20000, s.chunkSize * 40u));
    ASSERT_TRUE(archive_.ResizeChunkedStream(block, length));
    s.bytes.resize(length, 0);
  }

  void ChunkRead() {
    if (chunked_.empty()) return ChunkCreate();
    uint32_t block = RandomStream();
    const ModelChunked& s = chunked_.at(block);
    const auto size = static_cast<uint32_t>(s.bytes.size());
    uint32_t start;
    int64_t offset = RandomOffset(size, start);
    uint32_t length = Pick(s.chunkSize * 3u + 2);
    std::vector<uint8_t> out(length + 1, 0xCC);
    uint32_t expected = std::min(length, size - start);
    ASSERT_EQ(static_cast<int32_t>(expected), archive_.ReadChunkedStream(block, out.data(), length, offset));
    EXPECT_TRUE(std::equal(out.begin(), out.begin() + expected, s.bytes.begin() + start));
    EXPECT_EQ(0xCC, out[expected]) << "read past the count it reported";
    EXPECT_EQ(StorageChunkOffsetOutside, archive_.ReadChunkedStream(block, out.data(), 1, int64_t{size} + 1));
    EXPECT_EQ(StorageChunkOffsetOutside, archive_.ReadChunkedStream(block, out.data(), 1, -int64_t{size} - 1));
  }

  void CompareChunked() {
    for (const auto& c : chunked_) {
      const ModelChunked& s = c.second;
      ASSERT_EQ(static_cast<int32_t>(s.bytes.size()), archive_.GetChunkedStreamLength(c.first)) << c.first;
      const ChunkedStream* cached = archive_.LookupChunkedStream(c.first);
      ASSERT_NE(nullptr, cached);
      EXPECT_EQ(s.kind, cached->tag);
      EXPECT_EQ((s.bytes.size() + s.chunkSize - 1) / s.chunkSize, cached->chunks.size());
      std::vector<uint8_t> out(s.bytes.size());
      ASSERT_EQ(static_cast<int32_t>(out.size()),
                archive_.ReadChunkedStream(c.first, out.data(), static_cast<uint32_t>(out.size()), 0));
      ASSERT_EQ(s.bytes, out) << "chunked stream " << c.first;
    }
  }

  void CompareFolder(const ModelFolder& m, const Path& path) {
    StorageFolder* f = Open(path);
    ASSERT_NE(nullptr, f);
    ASSERT_EQ(m.files.size() + m.folders.size(), f->entries.size());
    for (const auto& file : m.files) {
      std::vector<uint8_t> out;
      int32_t n = file.second.raw ? archive_.ReadEntryRaw(*f, file.first, out)
                                  : archive_.ReadEntry(*f, file.first, out);
      ASSERT_EQ(static_cast<int32_t>(file.second.content.size()), n) << file.first;
      ASSERT_EQ(file.second.content, out) << file.first;
    }
    for (const auto& sub : m.folders) {
      ASSERT_TRUE(f->entries.at(sub.first) & kEntryFolder);
      Path subPath = path;
      subPath.push_back(sub.first);
      CompareFolder(sub.second, subPath);
    }
  }

  std::mt19937 rng_;
  uint32_t options_;
  std::vector<uint8_t> bytes_;
  StorageManager archive_{kPackageSignature, kPackageVersion};
  ModelFolder model_;
  std::map<uint32_t, ModelChunked> chunked_;  // by index block
  std::map<Path, StorageFolder*> open_;
  std::map<size_t, int> done_;
};

class Model : public ::testing::TestWithParam<uint32_t> {};

TEST_P(Model, ThousandsOfMixedOperationsKeepContentAndIntegrity) {
  for (uint32_t seed : {1u, 2u}) {
    ModelRun run(seed * 7919 + GetParam(), GetParam());
    for (int step = 0; step < 2500; ++step) {
      run.Step();
      if (::testing::Test::HasFatalFailure() || ::testing::Test::HasFailure()) {
        FAIL() << "seed " << seed << " step " << step;
      }
    }
    EXPECT_EQ(13u, run.Done().size());
    for (const auto& d : run.Done()) EXPECT_GT(d.second, 40) << "operation " << d.first;
  }
}

INSTANTIATE_TEST_SUITE_P(Options, Model,
                         ::testing::Values(0u, uint32_t{OptionCompressDirectory | OptionCompressFolders |
                                                        OptionCompressChunkIndex}));

}  // namespace
