// Fuzz target: arbitrary bytes opened as an archive, read everything reachable (chunked
// stream indexes included: any block may be read as one), then changed by a script of
// operations.
//
// Input: [archive image][operation bytes][n], where the last byte n is the number of
// operation bytes (cut to what is there).
//
// Besides memory errors it checks what must hold whatever the input:
//  - a session opened read-only leaves the bytes untouched;
//  - a successful copy opens as an archive whose regions tile it;
//  - an archive whose regions tiled it when opened still does after every change;
//  - nothing but directoryOffset and headerFlags of the header ever changes;
//  - chunked-stream reads never report more than they were asked for, a cached index
//    always covers its length, and what a write reports written reads back.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "storage/storage_manager.h"

namespace {

// A memory sink that refuses to grow beyond a limit, so that copies of damaged archives
// with absurd block sizes stay within the fuzzer's memory.
class CappedStream final : public StorageManagerStream {
 public:
  explicit CappedStream(std::vector<uint8_t>& bytes) : bytes_(bytes) {}
  bool Read(void* buffer, uint32_t length) override {
    if (position_ >= bytes_.size()) return false;
    size_t n = std::min<size_t>(length, bytes_.size() - position_);
    std::memcpy(buffer, bytes_.data() + position_, n);
    position_ += n;
    return true;
  }
  bool Write(const void* buffer, uint32_t length) override {
    if (position_ + length > kLimit) return false;
    if (position_ + length > bytes_.size()) bytes_.resize(position_ + length);
    if (length) std::memcpy(bytes_.data() + position_, buffer, length);
    position_ += length;
    return true;
  }
  bool Seek(uint32_t position) override {
    position_ = std::min<size_t>(position, bytes_.size());
    return true;
  }
  uint32_t Tell() override { return static_cast<uint32_t>(position_); }
  uint32_t GetSize() override { return static_cast<uint32_t>(bytes_.size()); }
  bool SetSize(uint32_t length, bool) override {
    if (length > kLimit) return false;
    bytes_.resize(length);
    position_ = std::min<size_t>(position_, length);
    return true;
  }
  void Close() override {}

 private:
  static constexpr size_t kLimit = 16u << 20;
  std::vector<uint8_t>& bytes_;
  size_t position_ = 0;
};

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

constexpr size_t kMaxEntries = 48;
// Copies and changes are tried on archives of at most this many records (a script stops
// when it has made more): a crafted directory of a few hundred bytes may hold 65536
// records, as many as the reader allows a small archive, and a script of tiny chunks
// makes thousands; writing such a directory back compresses it at level 9, several times
// per script, which is work in proportion to the directory, not a reading risk.
constexpr size_t kMaxRecordsChanged = 1024;

void ReadFolder(StorageManager& m, StorageFolder& folder, int depth) {
  size_t seen = 0;
  std::vector<uint8_t> out;
  std::vector<std::string> subfolders;
  for (const auto& e : folder.entries) {
    if (++seen > kMaxEntries) break;
    int32_t length = m.GetEntryLength(folder, e.first);
    int32_t raw = m.ReadEntryRaw(folder, e.first, out);
    Check(raw < 0 || length < 0 || raw == length);
    int32_t r = m.ReadEntry(folder, e.first, out, 1u << 20);
    Check(r < 0 || static_cast<size_t>(r) == out.size());
    uint8_t small[16];
    m.ReadEntry(folder, e.first, small, sizeof small);
    if (folder.subfolders.count(e.first)) subfolders.push_back(e.first);
  }
  if (depth >= 3) return;
  for (const auto& name : subfolders) {
    StorageFolder* sub = m.OpenFolder(folder, name);
    if (!sub) continue;
    ReadFolder(m, *sub, depth + 1);
    m.CloseFolder(sub);
  }
}

// Reads a chunked stream the way callers do: from the start, from the end, past the end.
void ReadChunked(StorageManager& m, uint32_t block) {
  int32_t length = m.GetChunkedStreamLength(block);
  if (length < 0) {
    Check(length == StorageNoChunkedStream);
    return;
  }
  const ChunkedStream* s = m.LookupChunkedStream(block);
  Check(s && uint64_t{s->chunks.size()} * s->chunkSize >= s->totalLength && s->chunkSize > 0);
  std::vector<uint32_t> chunks;
  Check(StorageManager::ListChunks(*s, chunks) == static_cast<int32_t>(chunks.size()));
  std::vector<uint8_t> buffer(4096);
  int32_t r = m.ReadChunkedStream(block, buffer.data(), 4096, 0);
  Check(r <= 4096 && r <= length);
  r = m.ReadChunkedStream(block, buffer.data(), 100, -std::min<int64_t>(length, 77));
  Check(r <= 100);
  Check(m.ReadChunkedStream(block, buffer.data(), 10, length) == 0);
  Check(m.ReadChunkedStream(block, buffer.data(), 10, int64_t{length} + 1) == StorageChunkOffsetOutside);
}

void ReadEverything(StorageManager& m) {
  ReadFolder(m, m.Root(), 0);
  uint32_t count = static_cast<uint32_t>(std::min<size_t>(m.Directory().size(), 64));
  for (uint32_t b = 0; b < count + 2; ++b) {
    uint8_t part[32];
    int32_t n = m.ReadBlockPart(b, part, sizeof part, 3);
    Check(n <= static_cast<int32_t>(sizeof part));
    m.GetBlockLength(b);
    ReadChunked(m, b);
  }
  m.CheckIntegrity();
}

// A copy must be an archive whose regions tile it exactly.
void CopyAndCheck(StorageManager& m, bool tolerate) {
  std::vector<uint8_t> copy;
  CappedStream target(copy);
  int32_t r = m.CopyTo(target, tolerate);
  if (r != 0 && r != StorageBlockLost) return;
  StorageManager c(kPackageSignature, kPackageVersion);
  if (c.Open(copy, OpenRead)) Check(c.CheckIntegrity() == 0);
}

class Script {
 public:
  Script(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool Done() const { return at_ >= size_; }
  uint8_t Next() { return at_ < size_ ? data_[at_++] : 0; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

std::string NameFor(uint8_t b) {
  static const char* const kNames[] = {"a", "b", "dir", "f", "A", "x.y", "sub", "bin\\s.exe"};
  if (b == 0xFF) return std::string();
  if (b == 0xFE) return std::string(256, 'n');
  return std::string(kNames[b % 8]) + (b & 0x80 ? "2" : "");
}

void RunScript(StorageManager& m, std::vector<uint8_t>& bytes, const uint8_t* pool, size_t poolSize, Script& s,
               bool sound) {
  std::vector<StorageFolder*> open;
  auto current = [&]() -> StorageFolder& { return open.empty() ? m.Root() : *open.back(); };
  auto payload = [&](uint8_t n, std::vector<uint8_t>& out) {
    size_t length = static_cast<size_t>(n) * 37 % 3000;
    out.resize(length);
    for (size_t i = 0; i < length; ++i) out[i] = poolSize ? pool[(i * 7 + n) % poolSize] : static_cast<uint8_t>(i);
  };
  std::vector<uint8_t> data, back;
  std::vector<uint32_t> streams;  // made by this script
  // A stream made here, or any block read as an index.
  auto chunkBlock = [&](uint8_t arg, uint32_t count) -> uint32_t {
    if ((arg & 0x80) && !streams.empty()) return streams[arg % streams.size()];
    return count ? arg % (count + 2) : arg;
  };
  for (int steps = 0; !s.Done() && steps < 64 && m.Directory().size() <= kMaxRecordsChanged; ++steps) {
    uint8_t op = s.Next(), arg = s.Next();
    uint32_t count = static_cast<uint32_t>(m.Directory().size());
    switch (op % 20) {
      case 0: payload(s.Next(), data); m.WriteEntry(current(), NameFor(arg), data.data(), static_cast<uint32_t>(data.size()), op & 0x10); break;
      case 1: payload(s.Next(), data); m.WriteEntryRaw(current(), NameFor(arg), data.data(), static_cast<uint32_t>(data.size()), op & 0x10); break;
      case 2: m.DeleteEntry(current(), NameFor(arg)); break;
      case 3: if (StorageFolder* f = m.CreateFolder(current(), NameFor(arg))) open.push_back(f); break;
      case 4: if (StorageFolder* f = m.OpenFolder(current(), NameFor(arg))) open.push_back(f); break;
      case 5: if (!open.empty() && m.CloseFolder(open.back())) open.pop_back(); break;
      case 6: if (!open.empty() && m.DeleteFolder(open.back())) open.pop_back(); break;
      case 7: payload(arg, data); m.CreateBlockRaw(data.data(), static_cast<uint32_t>(data.size()), op & 0x10); break;
      case 8: payload(s.Next(), data); m.RewriteBlockRaw(count ? arg % (count + 2) : arg, data.data(), static_cast<uint32_t>(data.size()), op & 0x10); break;
      case 9: m.DeleteBlock(count ? arg % (count + 2) : arg); break;
      case 10: payload(s.Next(), data); m.WriteBlockPart(count ? arg % (count + 2) : arg, data.data(), static_cast<uint32_t>(data.size()), arg); break;
      case 11: payload(s.Next(), data); m.WriteBlock(count ? arg % (count + 2) : 0, data.data(), static_cast<uint32_t>(data.size()), op & 0x10); break;
      case 12: CopyAndCheck(m, arg & 1); break;
      case 13:
        open.clear();
        m.Close();
        if (!m.Open(bytes, OpenReadWrite)) return;
        break;
      case 14: {
        payload(s.Next(), data);
        uint16_t chunkSize = static_cast<uint16_t>(op & 0x20 ? 4 + arg % 8 : 16 + arg * 5);
        int32_t b = m.CreateChunkedStream(data.data(), static_cast<uint32_t>(data.size()), chunkSize,
                                          op & 0x40 ? ChunkKindCompressed : ChunkKindPlain);
        if (b > 0) {
          streams.push_back(static_cast<uint32_t>(b));
          Check(m.GetChunkedStreamLength(static_cast<uint32_t>(b)) == static_cast<int32_t>(data.size()));
        } else {
          Check(b == StorageWriteFailed);
        }
        break;
      }
      case 15: m.ResizeChunkedStream(chunkBlock(arg, count), static_cast<uint32_t>(s.Next()) * 37); break;
      case 16: {
        uint32_t b = chunkBlock(arg, count);
        int64_t offset = static_cast<int8_t>(s.Next()) * 11;
        payload(s.Next(), data);
        int32_t r = m.WriteChunkedStream(b, data.data(), static_cast<uint32_t>(data.size()), offset);
        Check(r <= static_cast<int32_t>(data.size()));
        if (r > 0) {
          back.assign(static_cast<size_t>(r), 0);
          Check(m.ReadChunkedStream(b, back.data(), static_cast<uint32_t>(r), offset) == r);
          Check(std::memcmp(back.data(), data.data(), static_cast<size_t>(r)) == 0);
        }
        break;
      }
      case 17: ReadChunked(m, chunkBlock(arg, count)); break;
      case 18: m.DeleteChunkedStream(chunkBlock(arg, count)); break;
      case 19: {
        int32_t r = m.RepairChunkedStream(chunkBlock(arg, count));
        Check(r == 0 || r == 1 || r == StorageChunkIndexNotSaved);
        break;
      }
    }
    if (sound) Check(m.CheckIntegrity() == 0);
  }
  ReadEverything(m);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  size_t scriptSize = std::min<size_t>(data[size - 1], size - 1);
  size_t imageSize = size - 1 - scriptSize;
  const uint8_t* script = data + imageSize;

  // Read-only: everything reachable is read; the bytes stay as they were.
  {
    std::vector<uint8_t> bytes(data, data + imageSize);
    StorageManager m(kPackageSignature, kPackageVersion);
    if (m.Open(bytes, OpenRead)) {
      ReadEverything(m);
      if (m.Directory().size() <= kMaxRecordsChanged) {
        CopyAndCheck(m, true);
        CopyAndCheck(m, false);
      }
      Check(m.Close());
      Check(bytes.size() == imageSize && std::memcmp(bytes.data(), data, imageSize) == 0);
    }
  }
  // Read-write: a script of changes.
  {
    std::vector<uint8_t> bytes(data, data + imageSize);
    StorageManager m(kPackageSignature, kPackageVersion);
    if (m.Open(bytes, OpenReadWrite) && m.Directory().size() <= kMaxRecordsChanged) {
      bool sound = m.CheckIntegrity() == 0 && !(m.Status() & StatusSpaceLost);
      Script s(script, scriptSize);
      RunScript(m, bytes, data, imageSize, s, sound);
      m.Close();
      Check(bytes.size() >= 128 && std::memcmp(bytes.data(), data, 92) == 0 &&
            std::memcmp(bytes.data() + 100, data + 100, 28) == 0);
      StorageManager again(kPackageSignature, kPackageVersion);
      if (again.Open(bytes, OpenRead)) {
        if (sound) Check(again.CheckIntegrity() == 0);
        ReadEverything(again);
      }
    }
  }
  // The compact image conversions.
  {
    std::vector<uint8_t> image(data, data + size), compact, restored;
    StorageManager::StripHeader(image, compact);
    StorageManager m(kPackageSignature, kPackageVersion);
    m.RestoreHeader(compact, restored);
    if (size > 128) Check(restored.size() == size);
  }
  return 0;
}
