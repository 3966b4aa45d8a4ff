// Chunked streams against references measured in the same run, on a 64 MiB stream kept
// in an archive file as a plain-kind and as a compressed-kind chunked stream (4092-byte
// chunks):
//  - random 4 KiB reads and writes at any byte offset, against the same operations on a
//    plain 64 MiB file through the same file stream;
//  - the compressed kind's random reads and writes against their floor, the work no
//    implementation can avoid, done with bare zlib on the same chunks: for a read, reading
//    the stored bytes of every chunk it touches and one inflate of each; for a write, one
//    inflate and one level-9 deflate of each chunk it touches;
//  - reading the whole compressed stream from start to end in 4 KiB reads, against bare
//    zlib inflating every chunk's stored bytes held in memory.
// Each comparison runs its two sides in turns, batch by batch, and sums each side's CPU
// time: the machine is shared, and its drift then falls on both sides alike.
// `--quick` uses a 4 MiB stream and runs briefly (a smoke test); ratios are printed, not
// asserted.
#include <fcntl.h>
#include <time.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "storage/storage_format.h"
#include "storage/storage_manager.h"
#include "tests/bench/bench_content.h"

namespace fs = std::filesystem;

namespace {

bool gQuick = false;
constexpr uint32_t kPiece = 4096;
constexpr uint16_t kChunkSize = 4092;

std::vector<uint8_t> Content(size_t size) { return ServerLikeContent(size, 11); }

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
    ok = plainBlock > 0 && packedBlock > 0 && MapChunks() && CacheAlike("plain.bin") && CacheAlike("plain.arc") &&
         CacheAlike("packed.arc");
  }

  // The files were written in different ways (at once, chunk by chunk), and the page
  // cache holds them differently for it; dropped from it and read back in whole, they are
  // held alike, and the comparison is between the reads, not the ways of writing.
  bool CacheAlike(const char* name) {
    const int fd = ::open((dir / name).c_str(), O_RDONLY);
    if (fd < 0) return false;
    bool ok = ::fdatasync(fd) == 0 && ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED) == 0;
    std::vector<uint8_t> buffer(1 << 20);
    for (ssize_t n = 1; ok && n > 0;) ok = (n = ::read(fd, buffer.data(), buffer.size())) >= 0;
    ::close(fd);
    return ok;
  }
  ~Stores() {
    if (packedFd >= 0) ::close(packedFd);
    file.Close();
    plain.Close();
    packed.Close();
    std::error_code ec;
    fs::remove_all(dir, ec);
  }

  // Where the compressed stream's chunks lie in packed.arc, and their stored bytes (with
  // the zlib header back in front), for the references.
  struct Chunk {
    uint32_t payload = 0, length = 0;
    std::vector<uint8_t> zlib;
  };
  std::vector<Chunk> chunks;
  int packedFd = -1;

  bool MapChunks() {
    const ChunkedStream* stream = packed.LookupChunkedStream(packedBlock);
    if (!stream) return false;
    packedFd = ::open((dir / "packed.arc").c_str(), O_RDONLY);
    if (packedFd < 0) return false;
    for (uint32_t number : stream->chunks) {
      if (number == 0 || number >= packed.Directory().size()) return false;
      Chunk c;
      uint8_t prefix[4];
      const uint32_t offset = packed.Directory()[number].offset;
      if (::pread(packedFd, prefix, 4, offset) != 4) return false;
      c.payload = offset + 4;
      c.length = tolvane::storage_format::LoadLe32(prefix);
      c.zlib.assign({tolvane::storage_format::kZlibHeader0, tolvane::storage_format::kZlibHeader1});
      c.zlib.resize(c.length + 2);
      if (::pread(packedFd, c.zlib.data() + 2, c.length, c.payload) != static_cast<ssize_t>(c.length)) return false;
      chunks.push_back(std::move(c));
    }
    return true;
  }

  uint32_t Make(StorageManager& m, const char* name, uint16_t kind) {
    if (!m.Open((dir / name).wstring(), CreateNew)) return 0;
    int32_t block = m.CreateChunkedStream(content.data(), size, kChunkSize, kind);
    // Closing writes the directory back and flushes; the stream's index is read afresh.
    // Opened again over a bare file stream: the rollback journal of an in-place update has
    // a figure of its own, this one is the chunked streams' own work.
    if (block < 1 || !m.Close()) return 0;
    auto stream = std::make_unique<StorageManagerFileStream>();
    const int opened = stream->Open((dir / name).wstring(), OpenReadWrite);
    if (!m.Open(std::move(stream), opened)) return 0;
    return static_cast<uint32_t>(block);
  }
};

// Bare zlib with its state reused, as the floor is entitled to.
struct Zlib {
  z_stream in{}, out{};
  Zlib() {
    inflateInit(&in);
    deflateInit(&out, 9);
  }
  ~Zlib() {
    inflateEnd(&in);
    deflateEnd(&out);
  }
  bool Inflate(const uint8_t* zlib, size_t length, uint8_t* to, size_t capacity) {
    inflateReset(&in);
    in.next_in = const_cast<uint8_t*>(zlib);
    in.avail_in = static_cast<uInt>(length);
    in.next_out = to;
    in.avail_out = static_cast<uInt>(capacity);
    return inflate(&in, Z_FINISH) == Z_STREAM_END;
  }
  size_t Deflate(const uint8_t* data, size_t length, std::vector<uint8_t>& to) {
    deflateReset(&out);
    to.resize(deflateBound(&out, static_cast<uLong>(length)));
    out.next_in = const_cast<uint8_t*>(data);
    out.avail_in = static_cast<uInt>(length);
    out.next_out = to.data();
    out.avail_out = static_cast<uInt>(to.size());
    return deflate(&out, Z_FINISH) == Z_STREAM_END ? to.size() - out.avail_out : 0;
  }
};

// Random 4 KiB operations: the same offsets (and data) for every target of one kind of
// operation, from the same seed.
struct Random {
  std::mt19937 rng;
  explicit Random(bool write) : rng(write ? 21 : 12) {}
  uint32_t Offset(const Stores& s) { return rng() % (s.size - kPiece + 1); }
};

enum class Target { File, Plain, Packed, Floor };

// One operation on target; false when it failed.
std::function<bool()> Operation(Stores& s, Target target, bool write) {
  auto random = std::make_shared<Random>(write);
  auto buffer = std::make_shared<std::vector<uint8_t>>(kPiece);
  if (target == Target::Floor) {
    // Reads pread each touched chunk's stored bytes from packed.arc and inflate them;
    // writes inflate each touched chunk, put the piece in and deflate it at level 9 (into
    // a copy of the stored chunks held in memory, which follows the writes).
    auto z = std::make_shared<Zlib>();
    auto work = std::make_shared<std::vector<uint8_t>>(0x10000);
    auto deflated = std::make_shared<std::vector<uint8_t>>();
    return [&s, random, z, work, deflated, write]() {
      const uint32_t offset = random->Offset(s);
      const uint8_t* data = write ? s.content.data() + random->Offset(s) : nullptr;
      uint8_t chunk[kChunkSize];
      bool ok = true;
      for (uint32_t i = offset / kChunkSize; i <= (offset + kPiece - 1) / kChunkSize; ++i) {
        Stores::Chunk& c = s.chunks[i];
        if (!write) {
          uint8_t* stored = work->data();
          stored[0] = c.zlib[0];
          stored[1] = c.zlib[1];
          ok = ::pread(s.packedFd, stored + 2, c.length, c.payload) == static_cast<ssize_t>(c.length) &&
               z->Inflate(stored, c.length + 2, chunk, kChunkSize) && ok;
          continue;
        }
        ok = z->Inflate(c.zlib.data(), c.zlib.size(), chunk, kChunkSize) && ok;
        const uint32_t begin = std::max(offset, i * kChunkSize), end = std::min(offset + kPiece, (i + 1) * kChunkSize);
        std::memcpy(chunk + (begin - i * kChunkSize), data + (begin - offset), end - begin);
        const size_t n = z->Deflate(chunk, kChunkSize, *deflated);
        ok = n > 0 && ok;
        c.zlib.assign(deflated->begin(), deflated->begin() + static_cast<std::ptrdiff_t>(n));
      }
      return ok;
    };
  }
  return [&s, random, buffer, target, write]() {
    const uint32_t offset = random->Offset(s);
    if (target == Target::File) {
      if (!s.file.Seek(offset)) return false;
      return write ? s.file.Write(s.content.data() + random->Offset(s), kPiece) : s.file.Read(buffer->data(), kPiece);
    }
    StorageManager& m = target == Target::Plain ? s.plain : s.packed;
    const uint32_t block = target == Target::Plain ? s.plainBlock : s.packedBlock;
    const int32_t done = write ? m.WriteChunkedStream(block, s.content.data() + random->Offset(s), kPiece, offset)
                               : m.ReadChunkedStream(block, buffer->data(), kPiece, offset);
    return done == static_cast<int32_t>(kPiece);
  };
}

// One pass over the whole compressed stream: in 4 KiB reads, or bare zlib inflating every
// chunk from memory.
std::function<bool()> Sequential(Stores& s, bool zlib) {
  auto buffer = std::make_shared<std::vector<uint8_t>>(kPiece);
  if (zlib) {
    auto z = std::make_shared<Zlib>();
    return [&s, z, buffer]() {
      for (const Stores::Chunk& c : s.chunks) {
        if (!z->Inflate(c.zlib.data(), c.zlib.size(), buffer->data(), kChunkSize)) return false;
      }
      return true;
    };
  }
  return [&s, buffer]() {
    for (uint32_t offset = 0; offset < s.size; offset += kPiece) {
      if (s.packed.ReadChunkedStream(s.packedBlock, buffer->data(), kPiece, offset) < 1) return false;
    }
    return true;
  };
}

double CpuSeconds() {
  timespec t;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// Runs a and b in turns, `batch` operations at a time, until the two have had 2 x
// `seconds` of CPU time together; the CPU time per operation of each, in microseconds.
// False when one failed.
bool Paired(const std::function<bool()>& a, const std::function<bool()>& b, int batch, double seconds, double& ua,
            double& ub) {
  double ta = 0, tb = 0;
  long na = 0, nb = 0;
  while (ta + tb < 2 * seconds) {
    for (int side = 0; side < 2; ++side) {
      const std::function<bool()>& op = side == 0 ? a : b;
      const double start = CpuSeconds();
      for (int i = 0; i < batch; ++i) {
        if (!op()) return false;
      }
      (side == 0 ? ta : tb) += CpuSeconds() - start;
      (side == 0 ? na : nb) += batch;
    }
  }
  ua = ta / static_cast<double>(na) * 1e6;
  ub = tb / static_cast<double>(nb) * 1e6;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) gQuick = gQuick || std::strcmp(argv[i], "--quick") == 0;
  Stores s;
  if (!s.ok) {
    std::fprintf(stderr, "chunked_bench: setting up the stores failed\n");
    return 1;
  }
  std::printf("stream %u bytes in %u-byte chunks; archive files: plain kind %llu bytes, compressed kind %llu bytes\n",
              s.size, kChunkSize, static_cast<unsigned long long>(fs::file_size(s.dir / "plain.arc")),
              static_cast<unsigned long long>(fs::file_size(s.dir / "packed.arc")));
  const double seconds = gQuick ? 0.05 : 2.0;
  struct Pair {
    const char* what;
    const char* reference;
    std::function<bool()> a, b;
    int batch;
    const char* figure;  // null: printed only
    bool higherIsBetter;
    const char* aim;
  };
  // The reads come first, before the writes change the stream.
  Pair pairs[] = {
      {"random 4 KiB read, plain kind", "plain file", Operation(s, Target::Plain, false),
       Operation(s, Target::File, false), 256, "chunk_plain_read_vs_file", false, "<= 1.5"},
      {"random 4 KiB read, compressed kind", "floor", Operation(s, Target::Packed, false),
       Operation(s, Target::Floor, false), 32, "chunk_compressed_read_vs_floor", false, "<= 1.3"},
      {"random 4 KiB read, compressed kind", "plain file", Operation(s, Target::Packed, false),
       Operation(s, Target::File, false), 32, nullptr, false, nullptr},
      {"whole compressed stream, 4 KiB reads", "bare zlib inflate", Sequential(s, false), Sequential(s, true), 1,
       "chunk_compressed_seqread_vs_zlib", true, ">= 0.9"},
      {"random 4 KiB write, plain kind", "plain file", Operation(s, Target::Plain, true),
       Operation(s, Target::File, true), 64, nullptr, false, nullptr},
      {"random 4 KiB write, compressed kind", "floor", Operation(s, Target::Packed, true),
       Operation(s, Target::Floor, true), 4, "chunk_compressed_write_vs_floor", false, "<= 1.3"},
  };
  std::vector<std::string> lines;
  for (Pair& p : pairs) {
    double a, b;
    if (!Paired(p.a, p.b, p.batch, seconds, a, b)) {
      std::fprintf(stderr, "chunked_bench: an operation failed (%s)\n", p.what);
      return 1;
    }
    // A throughput figure is the reference's time over ours.
    const double ratio = p.higherIsBetter ? b / a : a / b;
    std::printf("%-38s %10.2f us, %-18s %10.2f us: ratio %.3f\n", p.what, a, p.reference, b, ratio);
    char line[160];
    if (p.figure && !gQuick) {
      std::snprintf(line, sizeof line, "ratio %s %.3f aim %s", p.figure, ratio, p.aim);
      lines.push_back(line);
    }
  }
  // The lines the benchmark command collects; a quick run's sizes are not the figures'.
  for (const std::string& line : lines) std::printf("%s\n", line.c_str());
  return 0;
}
