// Chunked streams against a plain file, measured in the same run: random 4 KiB reads and
// writes at any byte offset of a 64 MiB stream, kept in an archive file as a plain-kind
// and as a compressed-kind chunked stream (4092-byte chunks), and the same operations on
// a plain 64 MiB file through the same file stream. Prints each kind's cost per operation
// as a ratio to the plain file's.
// `--quick` uses a 4 MiB stream and runs briefly (a smoke test); ratios are printed, not
// asserted.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "storage/storage_manager.h"
#include "tests/bench/bench_support.h"

namespace fs = std::filesystem;

namespace {

bool gQuick = false;
constexpr uint32_t kPiece = 4096;
constexpr uint16_t kChunkSize = 4092;

// Content that compresses about as well as a server's data files.
std::vector<uint8_t> Content(size_t size) {
  static const char* const kWords[] = {"translation ", "segment ", "source=", "0x1F ", "\r\n", "<unit id=\"",
                                       "\"/>", "tolvane ", "target ", "value ", "[memory]", "  "};
  std::mt19937 rng(11);
  std::vector<uint8_t> out;
  out.reserve(size + 16);
  while (out.size() < size) {
    if (rng() % 10 == 0) {
      for (int i = 0; i < 12; ++i) out.push_back(static_cast<uint8_t>(rng()));
    } else {
      const char* w = kWords[rng() % 12];
      out.insert(out.end(), w, w + std::strlen(w));
    }
  }
  out.resize(size);
  return out;
}

// The three stores, made once: a plain file and two archive files holding one stream each.
struct Stores {
  fs::path dir;
  uint32_t size = 0;
  std::vector<uint8_t> content;
  StorageManagerFileStream file;
  StorageManager plain{kPackageSignature, kPackageVersion};
  StorageManager packed{kPackageSignature, kPackageVersion};
  uint32_t plainBlock = 0, packedBlock = 0;
  bool ok = false;

  Stores() {
    size = gQuick ? 4u << 20 : 64u << 20;
    content = Content(size);
    std::random_device rd;
    dir = fs::temp_directory_path() / ("tolvane_chunked_bench_" + std::to_string(rd()));
    fs::create_directories(dir);
    if (file.Open((dir / "plain.bin").wstring(), CreateNew) == OpenFailed || !file.Write(content.data(), size)) return;
    // Every store starts on disk, so that no operation waits for the setup's writes.
    file.Flush();
    plainBlock = Make(plain, "plain.arc", ChunkKindPlain);
    packedBlock = Make(packed, "packed.arc", ChunkKindCompressed);
    ok = plainBlock > 0 && packedBlock > 0;
  }
  ~Stores() {
    file.Close();
    plain.Close();
    packed.Close();
    std::error_code ec;
    fs::remove_all(dir, ec);
  }

  uint32_t Make(StorageManager& m, const char* name, uint16_t kind) {
    if (!m.Open((dir / name).wstring(), CreateNew)) return 0;
    int32_t block = m.CreateChunkedStream(content.data(), size, kChunkSize, kind);
    // Closing writes the directory back and flushes; the stream's index is read afresh.
    if (block < 1 || !m.Close() || !m.Open((dir / name).wstring(), OpenReadWrite)) return 0;
    return static_cast<uint32_t>(block);
  }
};

Stores& TheStores() {
  static Stores s;
  return s;
}

enum class Target { File, Plain, Packed };

// One random 4 KiB read or write per iteration; the same offsets for every target.
template <Target target, bool write>
void BM_Random(benchmark::State& state) {
  Stores& s = TheStores();
  if (!s.ok) {
    state.SkipWithError("setting up the stores failed");
    return;
  }
  std::mt19937 rng(write ? 21 : 12);
  std::vector<uint8_t> buffer(kPiece);
  for (auto _ : state) {
    uint32_t offset = rng() % (s.size - kPiece + 1);
    bool done;
    if (write) {
      // Data like what is there: the compressed kind pays for compressing real content.
      const uint8_t* data = s.content.data() + rng() % (s.size - kPiece + 1);
      if (target == Target::File) {
        done = s.file.Seek(offset) && s.file.Write(data, kPiece);
      } else {
        StorageManager& m = target == Target::Plain ? s.plain : s.packed;
        done = m.WriteChunkedStream(target == Target::Plain ? s.plainBlock : s.packedBlock, data, kPiece, offset) ==
               static_cast<int32_t>(kPiece);
      }
    } else {
      if (target == Target::File) {
        done = s.file.Seek(offset) && s.file.Read(buffer.data(), kPiece);
      } else {
        StorageManager& m = target == Target::Plain ? s.plain : s.packed;
        done = m.ReadChunkedStream(target == Target::Plain ? s.plainBlock : s.packedBlock, buffer.data(), kPiece,
                                   offset) == static_cast<int32_t>(kPiece);
      }
      benchmark::DoNotOptimize(buffer.data());
    }
    if (!done) {
      state.SkipWithError("an operation failed");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kPiece);
}


}  // namespace

int main(int argc, char** argv) {
  std::vector<char*> args = tolvane::bench::TakeQuickSwitch(argc, argv, gQuick);
  const double minTime = gQuick ? 0.05 : 1.0;
  benchmark::RegisterBenchmark("read/file", BM_Random<Target::File, false>)->MinTime(minTime);
  benchmark::RegisterBenchmark("read/chunked_plain", BM_Random<Target::Plain, false>)->MinTime(minTime);
  benchmark::RegisterBenchmark("read/chunked_compressed", BM_Random<Target::Packed, false>)->MinTime(minTime);
  benchmark::RegisterBenchmark("write/file", BM_Random<Target::File, true>)->MinTime(minTime);
  benchmark::RegisterBenchmark("write/chunked_plain", BM_Random<Target::Plain, true>)->MinTime(minTime);
  benchmark::RegisterBenchmark("write/chunked_compressed", BM_Random<Target::Packed, true>)->MinTime(minTime);
  int n = static_cast<int>(args.size());
  benchmark::Initialize(&n, args.data());
  tolvane::bench::TimeCollector collector;
  benchmark::RunSpecifiedBenchmarks(&collector);

  Stores& s = TheStores();
  if (!s.ok) {
    std::fprintf(stderr, "chunked_bench: setting up the stores failed\n");
    return 1;
  }
  std::printf("\nstream %u bytes in %u-byte chunks; archive files: plain kind %llu bytes, compressed kind %llu bytes\n",
              s.size, kChunkSize, static_cast<unsigned long long>(fs::file_size(s.dir / "plain.arc")),
              static_cast<unsigned long long>(fs::file_size(s.dir / "packed.arc")));
  auto& t = collector.times;
  for (const char* op : {"read", "write"}) {
    std::string file = std::string(op) + "/file";
    if (!t.count(file)) continue;
    for (const char* kind : {"chunked_plain", "chunked_compressed"}) {
      std::string name = std::string(op) + "/" + kind;
      if (!t.count(name)) continue;
      std::printf("random 4 KiB %-5s %-18s %8.2f us per operation, plain file %6.2f us: ratio %.2f\n", op, kind,
                  t[name] / 1000, t[file] / 1000, t[name] / t[file]);
    }
  }
  if (!gQuick && t.count("read/file") && t.count("read/chunked_plain"))
    std::printf("ratio chunk_plain_read_vs_file %.3f aim <= 1.5\n", t["read/chunked_plain"] / t["read/file"]);
  benchmark::Shutdown();
  return 0;
}
