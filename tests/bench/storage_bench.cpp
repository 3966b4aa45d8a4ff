// Archive speed against references measured in the same run:
//  - reading and inflating every entry of a package-sized archive (about 150 files, 7 MB)
//    against plain zlib inflate of the same streams (ratio reference/archive; aim >= 0.9);
//  - write/delete churn on archives of 10,000, 100,000 and 1,000,000 entries with many free
//    regions, against a floor at the same size: the same access pattern on a flat hash table
//    and a buffer of the archive's size, which is what the memory system charges for it
//    (per-operation cost over the floor's at 100,000 and at 1,000,000 entries; aims <= 3;
//    the growth from 10,000 entries up is printed beside them);
//  - the same churn at 100,000 entries on SQLite, the store a user would otherwise pick for
//    named blobs in one file: one table keyed by name, one transaction, WAL, synchronous
//    NORMAL, a page cache that holds the database (archive/SQLite per operation; aim <= 1);
//  - opening and closing an archive of 100,000 entries, read only and with one entry
//    rewritten, against the bare work of an open: copying the directory and the root list
//    out of the archive and splitting the list into names (aim: no more than the ratio the
//    node-based indexes had).
// `--quick` runs small sizes briefly (used as a smoke test); the ratios are printed, not
// asserted.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "storage/storage_format.h"
#include "storage/storage_manager.h"
#include "storage/zlib_codec.h"
#include "tests/bench/bench_support.h"
#include "tests/bench/bench_content.h"

namespace {

bool gQuick = false;

std::vector<uint8_t> FileContent(size_t size, uint32_t seed) { return ServerLikeContent(size, seed); }

// --- Reading a package ---------------------------------------------------------------

struct Package {
  std::vector<uint8_t> bytes;
  std::vector<std::string> names;
  std::vector<std::vector<uint8_t>> zlibStreams;  // stored payloads with their header back
  std::vector<size_t> sizes;
  size_t contentBytes = 0;
};

Package& ThePackage() {
  static Package p = [] {
    Package p;
    const int files = gQuick ? 30 : 150;
    StorageManager m(kPackageSignature, kPackageVersion);
    m.Open(p.bytes, CreateNew);
    std::mt19937 rng(42);
    for (int i = 0; i < files; ++i) {
      size_t size = 20000 + rng() % 270000;
      auto content = FileContent(size, static_cast<uint32_t>(i));
      std::string name = "bin\\file" + std::to_string(i) + ".dat";
      m.WriteEntry(name, content.data(), static_cast<uint32_t>(size));
      p.names.push_back(name);
      p.sizes.push_back(size);
      p.contentBytes += size;
    }
    m.Close();
    m.Open(p.bytes, OpenRead);
    for (const auto& name : p.names) {
      std::vector<uint8_t> stored;
      m.ReadEntryRaw(name, stored);
      stored.insert(stored.begin(), {0x78, 0xDA});
      p.zlibStreams.push_back(std::move(stored));
    }
    return p;
  }();
  return p;
}

void BM_ReadPackageArchive(benchmark::State& state) {
  Package& p = ThePackage();
  StorageManager m(kPackageSignature, kPackageVersion);
  if (!m.Open(p.bytes, OpenRead)) state.SkipWithError("open failed");
  std::vector<uint8_t> out;
  for (auto _ : state) {
    for (const auto& name : p.names) {
      if (m.ReadEntry(name, out, 0xFFFFFFFFu) <= 0) state.SkipWithError("read failed");
      benchmark::DoNotOptimize(out.data());
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * p.contentBytes));
}

void BM_ReadPackageZlib(benchmark::State& state) {
  Package& p = ThePackage();
  std::vector<uint8_t> out;
  for (auto _ : state) {
    for (size_t i = 0; i < p.zlibStreams.size(); ++i) {
      out.resize(p.sizes[i]);  // the reference even knows each size beforehand
      z_stream zs{};
      inflateInit(&zs);
      zs.next_in = p.zlibStreams[i].data();
      zs.avail_in = static_cast<uInt>(p.zlibStreams[i].size());
      zs.next_out = out.data();
      zs.avail_out = static_cast<uInt>(out.size());
      if (inflate(&zs, Z_FINISH) != Z_STREAM_END) state.SkipWithError("inflate failed");
      inflateEnd(&zs);
      benchmark::DoNotOptimize(out.data());
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * p.contentBytes));
}

// --- Churn -----------------------------------------------------------------------------

// The churn's sequence of operations on any store of named blobs: Put (a new name or a
// replacement) and Delete. The same seed gives every store the same names and sizes.
template <typename Store>
struct ChurnOf {
  Store store;
  std::vector<std::string> live;  // names present
  std::mt19937 rng{7};
  std::vector<uint8_t> payload = std::vector<uint8_t>(1024, 0x5A);
  uint32_t next = 0;

  uint32_t Size() { return 8 + rng() % 600; }

  explicit ChurnOf(size_t entries) {
    for (size_t i = 0; i < entries * 3 / 2; ++i) Add();
    // Delete a third at random: many free regions of many sizes.
    for (size_t i = 0; i < entries / 2; ++i) Remove();
  }
  void Add() {
    std::string name = "entry" + std::to_string(next++);
    store.Put(name, payload.data(), Size());
    live.push_back(name);
  }
  void Remove() {
    size_t at = rng() % live.size();
    store.Delete(live[at]);
    live[at] = live.back();
    live.pop_back();
  }
  void Operation() {
    uint32_t r = rng() % 4;
    if (r < 2) {
      store.Put(live[rng() % live.size()], payload.data(), Size());
    } else if (r == 2) {
      Remove();
    } else {
      Add();
    }
  }
};

struct ArchiveStore {
  std::vector<uint8_t> bytes;
  StorageManager archive{kPackageSignature, kPackageVersion};
  ArchiveStore() { archive.Open(bytes, CreateNew); }
  void Put(const std::string& name, const uint8_t* data, uint32_t length) {
    archive.WriteEntryRaw(name, data, length, true);
  }
  void Delete(const std::string& name) { archive.DeleteEntry(name); }
  size_t FreeRegions() const {
    size_t n = 0;
    for (const auto& rec : archive.Directory()) n += rec.type == BlockFree;
    return n;
  }
};

struct Churn : ChurnOf<ArchiveStore> {
  explicit Churn(size_t entries) : ChurnOf(entries) {}
  std::vector<uint8_t>& bytes = store.bytes;
  size_t FreeRegions() const { return store.FreeRegions(); }
};

// One table keyed by name, every operation inside one transaction, in a file on the
// memory file system where there is one (the archive is in memory too).
class SqliteStore {
 public:
  SqliteStore() {
    const std::filesystem::path dir = std::filesystem::exists("/dev/shm") ? "/dev/shm" : std::filesystem::temp_directory_path();
    path_ = (dir / ("tolvane-churn-" + std::to_string(getpid()) + ".db")).string();
    Remove();
    Check(sqlite3_open(path_.c_str(), &db_));
    Exec("PRAGMA journal_mode=WAL");
    Exec("PRAGMA synchronous=NORMAL");
    Exec("PRAGMA cache_size=-1048576");  // 1 GiB: the database stays in memory
    Exec("CREATE TABLE blobs(name TEXT PRIMARY KEY, data BLOB NOT NULL) WITHOUT ROWID");
    Exec("BEGIN");
    Check(sqlite3_prepare_v2(db_, "INSERT OR REPLACE INTO blobs(name, data) VALUES(?1, ?2)", -1, &put_, nullptr));
    Check(sqlite3_prepare_v2(db_, "DELETE FROM blobs WHERE name = ?1", -1, &delete_, nullptr));
  }
  ~SqliteStore() {
    sqlite3_finalize(put_);
    sqlite3_finalize(delete_);
    Exec("COMMIT");
    sqlite3_close(db_);
    Remove();
  }
  void Put(const std::string& name, const uint8_t* data, uint32_t length) {
    sqlite3_bind_text(put_, 1, name.data(), static_cast<int>(name.size()), SQLITE_STATIC);
    sqlite3_bind_blob(put_, 2, data, static_cast<int>(length), SQLITE_STATIC);
    Step(put_);
  }
  void Delete(const std::string& name) {
    sqlite3_bind_text(delete_, 1, name.data(), static_cast<int>(name.size()), SQLITE_STATIC);
    Step(delete_);
  }
  bool Failed() const { return failed_; }

 private:
  void Check(int rc) {
    if (rc != SQLITE_OK) failed_ = true;
  }
  void Exec(const char* sql) { Check(sqlite3_exec(db_, sql, nullptr, nullptr, nullptr)); }
  void Step(sqlite3_stmt* statement) {
    if (sqlite3_step(statement) != SQLITE_DONE) failed_ = true;
    sqlite3_reset(statement);
  }
  void Remove() {
    for (const char* suffix : {"", "-wal", "-shm", "-journal"}) std::remove((path_ + suffix).c_str());
  }

  std::string path_;
  sqlite3* db_ = nullptr;
  sqlite3_stmt* put_ = nullptr;
  sqlite3_stmt* delete_ = nullptr;
  bool failed_ = false;
};

void BM_ChurnSqlite(benchmark::State& state) {
  static std::map<int64_t, std::unique_ptr<ChurnOf<SqliteStore>>> stores;
  auto& slot = stores[state.range(0)];
  if (!slot) slot = std::make_unique<ChurnOf<SqliteStore>>(static_cast<size_t>(state.range(0)));
  for (auto _ : state) slot->Operation();
  if (slot->store.Failed()) state.SkipWithError("an SQLite call failed");
  state.SetItemsProcessed(state.iterations());
}

std::map<int64_t, std::unique_ptr<Churn>>& Churns() {
  static std::map<int64_t, std::unique_ptr<Churn>> c;
  return c;
}

void BM_Churn(benchmark::State& state) {
  auto& slot = Churns()[state.range(0)];
  if (!slot) slot = std::make_unique<Churn>(static_cast<size_t>(state.range(0)));
  Churn& c = *slot;
  for (auto _ : state) c.Operation();
  state.counters["free_regions"] = static_cast<double>(c.FreeRegions());
  state.SetItemsProcessed(state.iterations());
}

// What any archive pays for the same access pattern: one lookup of a random name in a flat
// hash table of that many names (one probe, one name compare) and one payload write at a
// random place in a buffer the size of the churned archive. Both cost O(1) steps, so its
// growth from 10,000 entries up is what the memory system charges for the larger data.
class FlatNames {
 public:
  explicit FlatNames(const std::vector<std::string>& names) : names_(names) {
    size_t n = 16;
    while (n < names.size() * 2) n *= 2;
    slots_.assign(n, 0);
    for (uint32_t i = 0; i < names.size(); ++i) {
      size_t at = Home(names[i]);
      while (slots_[at]) at = (at + 1) & (slots_.size() - 1);
      slots_[at] = i + 1;
    }
  }
  int64_t Find(const std::string& name) const {
    for (size_t at = Home(name); slots_[at]; at = (at + 1) & (slots_.size() - 1)) {
      if (names_[slots_[at] - 1] == name) return slots_[at] - 1;
    }
    return -1;
  }

 private:
  size_t Home(const std::string& name) const { return std::hash<std::string>()(name) & (slots_.size() - 1); }
  const std::vector<std::string>& names_;
  std::vector<uint32_t> slots_;
};

void BM_ChurnFloor(benchmark::State& state) {
  auto& slot = Churns()[state.range(0)];
  if (!slot) slot = std::make_unique<Churn>(static_cast<size_t>(state.range(0)));
  // The names laid out as the churn left them, each its own allocation.
  std::vector<std::string> live = slot->live;
  FlatNames names(live);
  std::vector<uint8_t> buffer(slot->bytes.size() + 1024);
  std::mt19937 rng(9);
  const size_t units = buffer.size() / 16 - 64;
  for (auto _ : state) {
    int64_t found = names.Find(slot->live[rng() % slot->live.size()]);
    benchmark::DoNotOptimize(found);
    std::memcpy(&buffer[(rng() % units) * 16], slot->payload.data(), 8 + rng() % 600);
  }
}

// --- Opening and closing a large archive --------------------------------------------------

struct LargeArchive {
  std::vector<uint8_t> bytes;
  std::string rewritten;  // a name in the middle of the list
  uint32_t rewrittenLength = 0;

  explicit LargeArchive(size_t entries) {
    StorageManager m(kPackageSignature, kPackageVersion);
    m.Open(bytes, CreateNew);
    std::mt19937 rng(5);
    std::vector<uint8_t> payload(64, 0x33);
    for (size_t i = 0; i < entries; ++i) {
      // Package-like names: a folder part and a file part, in no particular order.
      std::string name = "data\\item" + std::to_string(rng() % 100000000) + "_" + std::to_string(i) + ".bin";
      uint32_t length = 1 + rng() % 60;
      m.WriteEntryRaw(name, payload.data(), length);
      if (i == entries / 2) rewritten = name, rewrittenLength = length;
    }
    m.Close();
  }
};

std::map<int64_t, std::unique_ptr<LargeArchive>>& LargeArchives() {
  static std::map<int64_t, std::unique_ptr<LargeArchive>> a;
  return a;
}

LargeArchive& TheLargeArchive(int64_t entries) {
  auto& slot = LargeArchives()[entries];
  if (!slot) slot = std::make_unique<LargeArchive>(static_cast<size_t>(entries));
  return *slot;
}

void BM_OpenCloseRead(benchmark::State& state) {
  LargeArchive& a = TheLargeArchive(state.range(0));
  StorageManager m(kPackageSignature, kPackageVersion);
  for (auto _ : state) {
    if (!m.Open(a.bytes, OpenRead)) state.SkipWithError("open failed");
    m.Close();
  }
}

// Opening for update, rewriting one entry in place and closing: the root list and the
// directory are written back.
void BM_OpenCloseUpdate(benchmark::State& state) {
  LargeArchive& a = TheLargeArchive(state.range(0));
  std::vector<uint8_t> work;
  std::vector<uint8_t> payload(64, 0x44);
  StorageManager m(kPackageSignature, kPackageVersion);
  for (auto _ : state) {
    state.PauseTiming();
    work = a.bytes;
    state.ResumeTiming();
    if (!m.Open(work, OpenReadWrite)) state.SkipWithError("open failed");
    if (m.WriteEntryRaw(a.rewritten, payload.data(), a.rewrittenLength) <= 0) state.SkipWithError("write failed");
    if (!m.Close()) state.SkipWithError("close failed");
  }
}

// The bare work of opening: the directory's and the root list's bytes copied out of the
// archive and the list split into names (kept where the copy holds them) and values; with
// update set, the list and the directory serialised again.
void BM_OpenCloseFloor(benchmark::State& state) {
  using namespace tolvane::storage_format;
  LargeArchive& a = TheLargeArchive(state.range(0));
  const bool update = state.range(1) != 0;
  const uint8_t* image = a.bytes.data();
  const uint32_t directory = LoadLe32(image + kDirectoryOffsetField);
  const uint32_t directoryLength = LoadLe32(image + directory);
  const uint32_t list = LoadLe32(image + directory + 4 + kRecordSize + 2);
  const uint32_t listLength = LoadLe32(image + list);
  struct Name {
    uint32_t at, length, value;
  };
  for (auto _ : state) {
    std::vector<uint8_t> records(image + directory + 4, image + directory + 4 + directoryLength);
    std::vector<uint8_t> bytes(image + list + 4, image + list + 4 + listLength);
    std::vector<Name> names;
    for (size_t pos = 0; pos + 1 < bytes.size();) {
      uint32_t n = bytes[pos];
      names.push_back(Name{static_cast<uint32_t>(pos + 1), n, LoadLe32(&bytes[pos + 1 + n])});
      pos += 1 + n + 4;
    }
    if (update) {
      std::vector<uint8_t> out(bytes.size());
      uint8_t* p = out.data();
      for (const Name& e : names) {
        *p++ = static_cast<uint8_t>(e.length);
        std::memcpy(p, &bytes[e.at], e.length);
        StoreLe32(p + e.length, e.value);
        p += e.length + 4;
      }
      std::vector<uint8_t> dir(records);
      benchmark::DoNotOptimize(out.data());
      benchmark::DoNotOptimize(dir.data());
    }
    benchmark::DoNotOptimize(names.data());
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<char*> args = tolvane::bench::TakeQuickSwitch(argc, argv, gQuick);
  const double minTime = gQuick ? 0.05 : 1.0;
  const int64_t small = gQuick ? 1000 : 10000, large = gQuick ? 10000 : 100000, huge = gQuick ? 30000 : 1000000;
  const int64_t opened = gQuick ? 10000 : 100000;
  benchmark::RegisterBenchmark("read_package/archive", BM_ReadPackageArchive)->MinTime(minTime)->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("read_package/zlib", BM_ReadPackageZlib)->MinTime(minTime)->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("open_close/read", BM_OpenCloseRead)->Arg(opened)->MinTime(minTime)->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("open_close/update", BM_OpenCloseUpdate)->Arg(opened)->MinTime(minTime)->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("open_close_floor", BM_OpenCloseFloor)->Args({opened, 0})->Args({opened, 1})->MinTime(minTime)->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("churn", BM_Churn)->Arg(small)->Arg(large)->Arg(huge)->MinTime(minTime);
  benchmark::RegisterBenchmark("churn_floor", BM_ChurnFloor)->Arg(small)->Arg(large)->Arg(huge)->MinTime(minTime);
  benchmark::RegisterBenchmark("churn_sqlite", BM_ChurnSqlite)->Arg(large)->MinTime(minTime);
  int n = static_cast<int>(args.size());
  benchmark::Initialize(&n, args.data());
  tolvane::bench::TimeCollector collector;
  benchmark::RunSpecifiedBenchmarks(&collector);

  auto& t = collector.times;
  double readRatio = 0;
  if (t.count("read_package/archive") && t.count("read_package/zlib")) {
    Package& p = ThePackage();
    std::printf("\npackage: %zu files, %zu content bytes, archive %zu bytes\n", p.names.size(), p.contentBytes,
                p.bytes.size());
    std::printf("read+inflate every entry: zlib/archive speed ratio %.3f (aim >= 0.9)\n",
                t["read_package/zlib"] / t["read_package/archive"]);
    readRatio = t["read_package/zlib"] / t["read_package/archive"];
  }
  std::string a = "churn/" + std::to_string(small), b = "churn/" + std::to_string(large);
  if (t.count(a) && t.count(b)) {
    std::printf("churn per operation: %.3f us at %lld entries, %.3f us at %lld entries: ratio %.3f\n",
                t[a] / 1000, static_cast<long long>(small), t[b] / 1000, static_cast<long long>(large), t[b] / t[a]);
    std::string fa = "churn_floor/" + std::to_string(small), fb = "churn_floor/" + std::to_string(large);
    if (t.count(fa) && t.count(fb)) {
      std::printf("memory floor per operation (flat hash lookup + payload write): %.3f us, %.3f us: ratio %.3f\n",
                  t[fa] / 1000, t[fb] / 1000, t[fb] / t[fa]);
      std::printf("archive's own cost above the floor: %.3f us, %.3f us: ratio %.3f\n", (t[a] - t[fa]) / 1000,
                  (t[b] - t[fb]) / 1000, (t[b] - t[fb]) / (t[a] - t[fa]));
    }
  }
  std::string c = "churn/" + std::to_string(huge);
  if (t.count(a) && t.count(c)) {
    std::printf("churn per operation: %.3f us at %lld entries: ratio %.3f to %lld entries\n", t[c] / 1000,
                static_cast<long long>(huge), t[c] / t[a], static_cast<long long>(small));
    std::string fa = "churn_floor/" + std::to_string(small), fc = "churn_floor/" + std::to_string(huge);
    if (t.count(fa) && t.count(fc))
      std::printf("memory floor per operation at %lld entries: %.3f us: ratio %.3f\n", static_cast<long long>(huge),
                  t[fc] / 1000, t[fc] / t[fa]);
  }
  const std::string count = std::to_string(opened);
  double readOpen = 0, updateOpen = 0;
  for (const char* kind : {"read", "update"}) {
    std::string o = "open_close/" + std::string(kind) + "/" + count;
    std::string f = "open_close_floor/" + count + (std::string(kind) == "read" ? "/0" : "/1");
    if (!t.count(o) || !t.count(f)) continue;
    double r = t[o] / t[f];
    (std::string(kind) == "read" ? readOpen : updateOpen) = r;
    std::printf("open and close (%s) of %s entries: %.3f ms, floor %.3f ms: ratio %.3f\n", kind, count.c_str(), t[o],
                t[f], r);
  }
  // The lines the benchmark command collects. A quick run's sizes are not the figures'.
  if (!gQuick && readRatio > 0) std::printf("ratio archive_read_vs_zlib %.3f aim >= 0.9\n", readRatio);
  // The archive's cost per operation over the floor's at the same size: growth with size
  // that the memory system charges to any structure does not count against the archive.
  for (int64_t size : {large, huge}) {
    std::string churn = "churn/" + std::to_string(size), floor = "churn_floor/" + std::to_string(size);
    if (gQuick || !t.count(churn) || !t.count(floor)) continue;
    std::printf("ratio churn_%s_vs_floor %.3f aim <= 3\n", size == large ? "100k" : "1m", t[churn] / t[floor]);
  }
  const std::string churn = "churn/" + std::to_string(large), sqlite = "churn_sqlite/" + std::to_string(large);
  if (t.count(churn) && t.count(sqlite)) {
    std::printf("churn per operation at %lld entries: archive %.3f us, SQLite %.3f us\n", static_cast<long long>(large),
                t[churn] / 1000, t[sqlite] / 1000);
    if (!gQuick) std::printf("ratio churn_100k_vs_sqlite %.3f aim <= 1.0\n", t[churn] / t[sqlite]);
  }
  benchmark::Shutdown();
  return 0;
}
