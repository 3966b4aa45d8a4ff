// What atomic updates of archive files cost, against references measured in the same run
// (wall-clock time, syncs included on both sides):
//  - a put of a 64 KiB entry into a package-sized archive (7 MB) with the journal, against
//    the same put updating the file in place through a bare file stream (aim <= 1.3);
//  - rolling back a hot journal of that archive, against copying the journal's bytes once
//    to a new file and syncing it (aim <= 2).
// Each figure is the median of interleaved runs. `--quick` uses a small archive and few
// runs (a smoke test); the ratios are then printed without the lines the benchmark
// command collects.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "storage/atomic_file_stream.h"
#include "storage/storage_manager.h"
#include "tests/bench/bench_content.h"

namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Content(size_t size, uint32_t seed) { return ServerLikeContent(size, seed); }

Bytes ReadAll(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Written and synced, so that a later sync in a timed section has nothing of it to do.
// A new file, or (inPlace) the bytes of the file at p rewritten: a journal only applies to
// the file it was made for (same volume and file number), and a file made anew at the name
// is another one whenever the file system hands it another number.
bool WriteSynced(const fs::path& p, const Bytes& b, bool inPlace = false) {
  StorageManagerFileStream f;
  const uint32_t n = static_cast<uint32_t>(b.size());
  return (inPlace ? f.Open(p.wstring(), OpenReadWrite) == OpenedExisting
                  : f.Open(p.wstring(), CreateNew) == CreatedNew) &&
         f.Write(b.data(), n) && f.SetSize(n, false) && f.Sync();
}

double Seconds(const std::function<bool()>& f, bool& ok) {
  auto start = std::chrono::steady_clock::now();
  ok = f() && ok;
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  bool quick = false;
  for (int i = 1; i < argc; ++i) quick = quick || !std::strcmp(argv[i], "--quick");
  const size_t archiveBytes = quick ? (1u << 20) : 7u * 1000 * 1000;
  const int runs = quick ? 3 : 41;
  const fs::path dir = fs::temp_directory_path() / ("tolvane_journal_bench_" + std::to_string(std::random_device{}()));
  fs::create_directories(dir);
  const fs::path arc = dir / "a.arc";
  bool ok = true;
  // The step under way while all is well, named when something fails.
  const char* step = "building the archive";
  auto enter = [&](const char* next) {
    if (ok) step = next;
  };

  // A package-sized archive of about 150 entries (stored as they are: building it is not
  // what is measured).
  {
    StorageManager m(kPackageSignature, kPackageVersion);
    ok = m.Open(arc.wstring(), CreateNew);
    std::mt19937 rng(42);
    for (int i = 0; ok && m.End() < archiveBytes; ++i) {
      Bytes content = Content(20000 + rng() % 70000, static_cast<uint32_t>(i));
      ok = m.WriteEntryRaw("bin\\file" + std::to_string(i) + ".dat", content.data(),
                           static_cast<uint32_t>(content.size())) > 0;
    }
    ok = m.Close() && ok;
  }
  const Bytes original = ReadAll(arc);
  const Bytes entry = Content(64 * 1024, 7);

  // --- A put of a new name.
  enter("a put, or taking the entry out again");
  auto putJournal = [&]() {
    StorageManager m(kPackageSignature, kPackageVersion);
    return m.Open(arc.wstring(), OpenReadWrite) &&
           m.WriteEntry("new.bin", entry.data(), static_cast<uint32_t>(entry.size())) > 0 && m.Close();
  };
  auto putInPlace = [&]() {
    StorageManager m(kPackageSignature, kPackageVersion);
    auto stream = std::make_unique<StorageManagerFileStream>();
    int opened = stream->Open(arc.wstring(), OpenReadWrite);
    return m.Open(std::move(stream), opened) &&
           m.WriteEntry("new.bin", entry.data(), static_cast<uint32_t>(entry.size())) > 0 && m.Close();
  };
  // Taking the entry out again (not timed) leaves the archive as it was, give or take
  // where its lists and directory sit.
  auto takeOut = [&]() {
    StorageManager m(kPackageSignature, kPackageVersion);
    return m.Open(arc.wstring(), OpenReadWrite) && m.DeleteEntry("new.bin") == 0 && m.Close();
  };
  std::vector<double> journalPut, inPlacePut;
  for (int i = 0; ok && i < runs; ++i) {
    journalPut.push_back(Seconds(putJournal, ok));
    ok = takeOut() && ok;
    inPlacePut.push_back(Seconds(putInPlace, ok));
    ok = takeOut() && ok;
  }
  enter("restoring the archive");
  ok = WriteSynced(arc, original, true) && ok;

  // --- A rollback: every entry rewritten in place leaves a journal of the whole archive.
  enter("rewriting every entry, then discarding the update");
  Bytes hotArchive, hotJournal;
  {
    StorageManager m(kPackageSignature, kPackageVersion);
    ok = m.Open(arc.wstring(), OpenReadWrite) && ok;
    std::vector<std::string> names;
    for (const auto& e : m.Root().entries) names.push_back(e.first);
    for (size_t i = 0; ok && i < names.size(); ++i) {
      int32_t length = m.GetEntryLength(names[i]);
      Bytes content = Content(static_cast<size_t>(std::max(length, 1)), static_cast<uint32_t>(1000 + i));
      ok = m.WriteEntryRaw(names[i], content.data(), static_cast<uint32_t>(content.size())) > 0;
    }
    hotArchive = ReadAll(arc);
    hotJournal = ReadAll(StorageAtomicFileStream::JournalName(arc.wstring()));
    m.Discard();
  }
  ok = ok && ReadAll(arc) == original;
  const fs::path journal = StorageAtomicFileStream::JournalName(arc.wstring());
  const fs::path copy = dir / "copy";
  auto rollback = [&]() {
    return StorageAtomicFileStream::Recover(arc.wstring()) == StorageAtomicFileStream::Recovery::RolledBack;
  };
  auto copyOnce = [&]() {
    StorageManagerFileStream in, out;
    if (in.Open(journal.wstring(), OpenRead) != OpenedExisting || out.Open(copy.wstring(), CreateNew) != CreatedNew)
      return false;
    Bytes buffer(1u << 20);
    for (uint32_t left = in.GetSize(); left;) {
      uint32_t n = std::min<uint32_t>(left, static_cast<uint32_t>(buffer.size()));
      if (!in.Read(buffer.data(), n) || !out.Write(buffer.data(), n)) return false;
      left -= n;
    }
    return out.Sync();
  };
  enter("a rollback of the hot journal");
  std::vector<double> rolledBack, copied;
  for (int i = 0; ok && i < runs; ++i) {
    ok = WriteSynced(arc, hotArchive, true) && WriteSynced(journal, hotJournal);
    copied.push_back(Seconds(copyOnce, ok));
    fs::remove(copy);
    rolledBack.push_back(Seconds(rollback, ok));
    ok = ok && ReadAll(arc) == original;
  }

  std::error_code ec;
  fs::remove_all(dir, ec);
  if (!ok) {
    std::fprintf(stderr, "journal_bench: %s did not do what it should\n", step);
    return 1;
  }
  const double put = Median(journalPut), bare = Median(inPlacePut);
  const double back = Median(rolledBack), once = Median(copied);
  std::printf("archive %zu bytes; %d runs each, medians\n", original.size(), runs);
  std::printf("put of 64 KiB: %.3f ms with the journal, %.3f ms in place: ratio %.3f (aim <= 1.3)\n", put * 1e3,
              bare * 1e3, put / bare);
  std::printf("hot journal of %zu bytes: rollback %.3f ms, one copy %.3f ms: ratio %.3f (aim <= 2)\n",
              hotJournal.size(), back * 1e3, once * 1e3, back / once);
  if (!quick) {
    std::printf("ratio journal_put_vs_inplace %.3f aim <= 1.3\n", put / bare);
    std::printf("ratio journal_rollback_vs_copy %.3f aim <= 2\n", back / once);
  }
  return 0;
}
