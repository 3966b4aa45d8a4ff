// Chunked streams and the cache of their indexes, on the block operations of the archive.
//
// A chunked stream is an index block and one block per chunk:
//
//   index payload: u16 tag, u16 chunkSize, u32 totalLength, u32 block number per chunk
//   ChunkKindPlain       every chunk block holds exactly chunkSize bytes as they are
//   ChunkKindCompressed  every chunk block holds its chunk compressed; block 0 stands for
//                        a chunk of zeros, and a chunk that inflates short is completed
//                        with zeros
//
// The index is stored compressed when OptionCompressChunkIndex is in effect. Every change
// to a chunk list is saved when it is made, so the cache never has to be written back;
// when a save fails the cached copy is dropped and the next lookup reads the stored one.
#include "storage/chunked_stream.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <exception>
#include <unordered_set>

#include "storage/chunk_workspace.h"
#include "storage/storage_format.h"
#include "storage/storage_manager.h"
#include "storage/storage_update.h"
#include "storage/zlib_codec.h"

using namespace tolvane::storage_format;

namespace {

constexpr uint32_t kIndexHeaderSize = 8;
// Lengths and counts come back as non-negative results.
constexpr uint32_t kMaxStreamLength = 0x7FFFFFFFu;

bool KnownKind(uint16_t tag) { return tag == ChunkKindPlain || tag == ChunkKindCompressed; }

uint64_t Capacity(const ChunkedStream& s) { return uint64_t{s.chunks.size()} * s.chunkSize; }

uint64_t ChunksFor(uint32_t length, uint16_t chunkSize) {
  return (uint64_t{length} + chunkSize - 1) / chunkSize;
}

bool IndexPayload(const ChunkedStream& s, std::vector<uint8_t>& out) {
  uint64_t size = kIndexHeaderSize + uint64_t{s.chunks.size()} * 4;
  if (size > kMaxPayload) return false;
  out.resize(static_cast<size_t>(size));
  StoreLe16(out.data(), s.tag);
  StoreLe16(out.data() + 2, s.chunkSize);
  StoreLe32(out.data() + 4, s.totalLength);
  uint8_t* p = out.data() + kIndexHeaderSize;
  for (uint32_t c : s.chunks) {
    StoreLe32(p, c);
    p += 4;
  }
  return true;
}

// Where a request on a stream starts and how long it is, after the offset is normalised:
// a negative offset counts from the end.
int32_t Normalise(const ChunkedStream& s, uint32_t length, int64_t offset, uint32_t& start, uint32_t& count) {
  const int64_t total = s.totalLength;
  if (offset < 0) offset += total;
  if (offset < 0 || offset > total) return StorageChunkOffsetOutside;
  start = static_cast<uint32_t>(offset);
  count = static_cast<uint32_t>(std::min<int64_t>(length, total - offset));
  return 0;
}

// Checks chunk numbers one by one. A chunk block must be a block of its own: not the
// directory or the root list, not the index, and not named twice, or a write through one
// chunk would change another or the archive's own records.
class ChunkChecker {
 public:
  explicit ChunkChecker(const ChunkedStream& s) : s_(s) { seen_.reserve(s.chunks.size()); }
  template <typename LengthOf>
  bool Usable(uint32_t number, LengthOf&& lengthOf) {
    if (number == 0 && s_.tag == ChunkKindCompressed) return true;
    if (number < 2 || number == s_.indexBlock || !seen_.insert(number).second) return false;
    int32_t length = lengthOf(number);
    return s_.tag == ChunkKindPlain ? length == s_.chunkSize : length >= 0;
  }

 private:
  const ChunkedStream& s_;
  std::unordered_set<uint32_t> seen_;
};

// Plain-kind pieces whose stored bytes lie this close together are read with one call.
constexpr uint32_t kGatherGap = 64;
constexpr uint32_t kGatherLimit = 0x40000;
constexpr size_t kGatherPieces = 8;
// A compressed chunk's region is read whole, length prefix and padding included, unless
// it is much larger than any chunk's stored form can need.
constexpr uint32_t kRegionReadLimit = 0x20000;

bool SameRecord(const BlockRecord& a, const BlockRecord& b) {
  return a.type == b.type && a.offset == b.offset && a.size == b.size;
}

}  // namespace

namespace tolvane {

ChunkWorkspace::Inflated* ChunkWorkspace::Find(uint32_t block, const BlockRecord& record, uint16_t chunkSize) {
  for (Inflated& slot : slots_) {
    if (slot.block == block && block != 0 && slot.content.size() == chunkSize && SameRecord(slot.record, record)) {
      slot.lastUse = ++clock_;
      return &slot;
    }
  }
  return nullptr;
}

ChunkWorkspace::Inflated& ChunkWorkspace::Take(uint32_t block, const BlockRecord& record, uint16_t chunkSize) {
  Inflated* victim = &slots_[0];
  for (Inflated& slot : slots_) {
    if (slot.block == 0 || slot.block == block) {
      victim = &slot;
      break;
    }
    if (slot.lastUse < victim->lastUse) victim = &slot;
  }
  victim->block = 0;  // until its content is complete
  victim->content.resize(chunkSize);
  victim->record = record;
  victim->lastUse = ++clock_;
  victim->block = block;
  return *victim;
}

void ChunkWorkspace::Keep(const uint8_t* content, uint32_t block, const BlockRecord& record) {
  for (Inflated& slot : slots_) {
    if (slot.content.data() == content) {
      Forget(block);
      slot.block = block;
      slot.record = record;
      slot.lastUse = ++clock_;
      return;
    }
  }
}

void ChunkWorkspace::Forget(uint32_t block) {
  for (Inflated& slot : slots_) {
    if (slot.block == block) slot.block = 0;
  }
}

void ChunkWorkspace::Clear() {
  for (Inflated& slot : slots_) slot.block = 0;
  unchecked.clear();
}


ChunkedStreams::ChunkedStreams(StorageManager& archive) : a_(archive) {}
ChunkedStreams::~ChunkedStreams() = default;

const std::map<uint32_t, ChunkedStream>& ChunkedStreams::Cache() const { return cache_; }

ChunkWorkspace& ChunkedStreams::Work() {
  if (!work_) work_ = std::make_unique<ChunkWorkspace>();
  return *work_;
}

// The block's bytes are about to change: an inflated copy of them is stale.
void ChunkedStreams::ForgetInflated(uint32_t block) {
  if (work_) work_->Forget(block);
}

// The block's length may change: a plain-kind stream naming it no longer knows it.
void ChunkedStreams::NoteBlockResized(uint32_t block) {
  ForgetInflated(block);
  auto range = owners_.equal_range(block);
  for (auto it = range.first; it != range.second; ++it) {
    const ChunkedStream* owner = FindChunked(it->second);
    if (owner && owner->tag == ChunkKindPlain) {
      try {
        Work().unchecked.insert(block);
      } catch (const std::exception&) {
        // Without the mark the stream must not trust its chunk lengths: drop it, its next
        // lookup checks them again.
        DropChunked(it->second);
      }
      return;
    }
  }
}

uint32_t ChunkedStreams::Ticks() const {
  if (a_.TickSource()) return a_.TickSource()();
  using namespace std::chrono;
  return static_cast<uint32_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

ChunkedStream* ChunkedStreams::FindChunked(uint32_t block) {
  auto it = cache_.find(block);
  return it == cache_.end() ? nullptr : &it->second;
}

void ChunkedStreams::MapChunks(const ChunkedStream& s) {
  for (uint32_t c : s.chunks) {
    if (c != 0) owners_.emplace(c, s.indexBlock);
  }
}

void ChunkedStreams::UnmapChunk(uint32_t chunk, uint32_t indexBlock) {
  auto range = owners_.equal_range(chunk);
  for (auto it = range.first; it != range.second; ++it) {
    if (it->second == indexBlock) {
      owners_.erase(it);
      return;
    }
  }
}

void ChunkedStreams::UnmapChunks(const ChunkedStream& s) {
  for (uint32_t c : s.chunks) {
    if (c != 0) UnmapChunk(c, s.indexBlock);
  }
}

void ChunkedStreams::DropChunked(uint32_t block) {
  auto it = cache_.find(block);
  if (it == cache_.end()) return;
  UnmapChunks(it->second);
  cache_.erase(it);
}

void ChunkedStreams::ForgetChunkBlock(uint32_t block) {
  if (work_) {
    work_->Forget(block);
    work_->unchecked.erase(block);
  }
  DropChunked(block);
  std::vector<uint32_t> owners;
  auto range = owners_.equal_range(block);
  for (auto it = range.first; it != range.second; ++it) owners.push_back(it->second);
  for (uint32_t owner : owners) DropChunked(owner);
}

// Reads the index at block with the header checks only.
bool ChunkedStreams::LoadChunkIndex(uint32_t block, ChunkedStream& out) {
  if (block < 2) return false;  // the directory and the root list
  std::vector<uint8_t> payload;
  // A compressed index inflates no larger than an archive of this size can need.
  const uint32_t most = static_cast<uint32_t>(std::min<uint64_t>(MaxChunkIndexBytes(a_.End()), 0x7FFFFFFE));
  int32_t r = a_.Options() & OptionCompressChunkIndex ? a_.ReadBlock(block, payload, most + 1)
                                                    : a_.ReadBlockRaw(block, payload);
  if (r <= 0 || payload.size() > most) return false;
  if (payload.size() < kIndexHeaderSize || (payload.size() - kIndexHeaderSize) % 4) return false;
  if ((payload[0] != 0x56 && payload[0] != 0x43) || payload[1] != 0x52) return false;
  out.tag = LoadLe16(payload.data());
  out.chunkSize = LoadLe16(payload.data() + 2);
  out.totalLength = LoadLe32(payload.data() + 4);
  // A chunk size of 0 cannot address anything (and would divide by zero).
  if (out.chunkSize == 0 || out.totalLength > kMaxStreamLength) return false;
  size_t count = (payload.size() - kIndexHeaderSize) / 4;
  out.chunks.resize(count);
  for (size_t i = 0; i < count; ++i) out.chunks[i] = LoadLe32(payload.data() + kIndexHeaderSize + 4 * i);
  out.indexBlock = block;
  return true;
}

bool ChunkedStreams::ChunksUsable(const ChunkedStream& s) {
  ChunkChecker checker(s);
  for (uint32_t c : s.chunks) {
    if (!checker.Usable(c, [this](uint32_t b) { return a_.GetBlockLength(b); })) return false;
  }
  return Capacity(s) >= s.totalLength;
}

void ChunkedStreams::EvictChunkedStream() {
  const uint32_t now = Ticks();
  auto victim = cache_.end();
  uint32_t oldest = 0;
  for (auto it = cache_.begin(); it != cache_.end(); ++it) {
    // Unsigned difference: still the age after the tick count wraps. Ties go to the later
    // block number.
    uint32_t age = now - it->second.lastAccess;
    if (victim == cache_.end() || age >= oldest) {
      victim = it;
      oldest = age;
    }
  }
  if (victim != cache_.end()) DropChunked(victim->first);
}

ChunkedStream* ChunkedStreams::Lookup(uint32_t block) {
  try {
    if (ChunkedStream* s = FindChunked(block)) {
      s->lastAccess = Ticks();
      return s;
    }
    ChunkedStream loaded;
    if (!LoadChunkIndex(block, loaded)) return nullptr;
    if (cache_.size() >= StorageManager::kChunkCacheLimit) EvictChunkedStream();
    loaded.lastAccess = Ticks();
    ChunkedStream& s = cache_[block] = std::move(loaded);
    if (!ChunksUsable(s)) {
      cache_.erase(block);
      return nullptr;
    }
    MapChunks(s);
    return &s;
  } catch (const std::exception&) {
    DropChunked(block);
    return nullptr;
  }
}

bool ChunkedStreams::SaveChunkIndex(const ChunkedStream& s) {
  std::vector<uint8_t> payload;
  if (!IndexPayload(s, payload)) return false;
  auto size = static_cast<uint32_t>(payload.size());
  int32_t r = a_.Options() & OptionCompressChunkIndex ? a_.RewriteBlock(s.indexBlock, payload.data(), size, true)
                                                   : a_.RewriteBlockRaw(s.indexBlock, payload.data(), size, true);
  return r > 0;
}

// The stored payload of a compressed chunk's block, read with one call where the region
// is of a sensible size; its length, 0 for an empty block, or a negative code.
int32_t ChunkedStreams::ReadChunkStored(uint32_t block, const uint8_t*& payload, uint32_t& length) {
  payload = nullptr;
  length = 0;
  if (block == 0) return 0;
  const std::vector<BlockRecord>& directory = a_.Directory();
  if (block >= directory.size()) return StorageBadBlock;
  const BlockRecord r = directory[block];
  std::vector<uint8_t>& stored = Work().stored;
  if (r.type == BlockData && r.offset != 0 && r.size >= 4 && r.size <= kRegionReadLimit && a_.RegionIsOwn(block)) {
    if (stored.size() < r.size) stored.resize(r.size);
    // A region that runs past the stream's end is read as the block operations read it.
    if (a_.ReadBytes(r.offset, stored.data(), r.size)) {
      const uint32_t n = LoadLe32(stored.data());
      if (n >= r.size || n > kMaxPayload) return StorageBadBlock;
      payload = stored.data() + 4;
      length = n;
      return static_cast<int32_t>(n);
    }
  }
  int32_t got = a_.ReadBlockRaw(block, stored);
  if (got <= 0) return got;
  payload = stored.data();
  length = static_cast<uint32_t>(got);
  return got;
}

// Inflates compressed chunk block `number` into out (chunkSize bytes, completed with
// zeros): 0, -4 when it cannot be read or inflated, -26 when it inflates too long.
int32_t ChunkedStreams::InflateChunk(const ChunkedStream& s, uint32_t number, uint8_t* out) {
  const uint8_t* payload;
  uint32_t length;
  int32_t r = ReadChunkStored(number, payload, length);
  if (r < 0) return StorageReadFailed;
  size_t produced = 0;
  if (r > 0) {
    // Inflated only as far as a chunk reaches: a chunk that would grow beyond it is
    // refused without inflating the rest.
    switch (Work().inflater.InflateStored(payload, length, out, s.chunkSize, produced)) {
      case Inflater::Ended: break;
      case Inflater::TooLong: return StorageNoChunkedStream;
      default: return StorageReadFailed;
    }
  }
  std::memset(out + produced, 0, s.chunkSize - produced);
  return 0;
}

// The content of compressed chunk `index`, completed with zeros to chunkSize, in a slot of
// the inflated chunks that the caller may change (and must then forget).
int32_t ChunkedStreams::ChunkContent(const ChunkedStream& s, size_t index, uint8_t*& content) {
  ChunkWorkspace& work = Work();
  const uint32_t number = s.chunks[index];
  const BlockRecord record = number < a_.Directory().size() ? a_.Directory()[number] : BlockRecord{};
  if (auto* cached = work.Find(number, record, s.chunkSize)) {
    content = cached->content.data();
    return 0;
  }
  ChunkWorkspace::Inflated& slot = work.Take(number, record, s.chunkSize);
  content = slot.content.data();
  int32_t r = number == 0 ? (std::memset(content, 0, s.chunkSize), 0) : InflateChunk(s, number, content);
  // Chunks of zeros have no block to be cached under.
  if (r < 0 || number == 0) slot.block = 0;
  return r;
}

// WriteBlock of a chunk's content, compact on, through the deflate stream kept for it.
int32_t ChunkedStreams::WriteChunkBlock(uint32_t number, const uint8_t* content, uint32_t length) {
  size_t compressed = 0;
  const uint8_t* z = Work().deflater.Deflate(content, length, compressed);
  if (!z || compressed < 2 || z[0] != kZlibHeader0 || z[1] != kZlibHeader1) return StorageCompressFailed;
  if (compressed - 2 > kMaxPayload) return StorageNoSpace;
  return a_.WriteBlockRaw(number, z + 2, static_cast<uint32_t>(compressed - 2), true);
}

// Plain-kind pieces of [pos, pos + count): chunks whose length was checked are read at
// their known place, neighbours with one call; the others as ReadBlockPart reads them.
bool ChunkedStreams::ReadPlainPieces(const ChunkedStream& s, uint8_t* buffer, uint32_t pos, uint32_t count) {
  const uint32_t cs = s.chunkSize;
  const std::vector<BlockRecord>& directory = a_.Directory();
  ChunkWorkspace* work = work_.get();
  struct Piece {
    uint32_t at, length, done;
  };
  Piece run[kGatherPieces];
  size_t pieces = 0;
  auto flush = [&]() -> bool {
    if (pieces == 0) return true;
    const Piece& first = run[0];
    bool ok;
    if (pieces == 1) {
      ok = a_.ReadBytes(first.at, buffer + first.done, first.length);
    } else {
      // Straight into the caller's buffer, past the length prefixes in between.
      StorageManagerStream::Piece parts[2 * kGatherPieces];
      size_t n = 0;
      for (size_t k = 0; k < pieces; ++k) {
        if (k > 0) parts[n++] = {nullptr, run[k].at - (run[k - 1].at + run[k - 1].length)};
        parts[n++] = {buffer + run[k].done, run[k].length};
      }
      ok = a_.ReadBytePieces(first.at, parts, n);
    }
    pieces = 0;
    return ok;
  };
  for (uint32_t done = 0; done < count;) {
    const size_t i = pos / cs;
    const uint32_t within = pos % cs;
    const uint32_t piece = std::min(cs - within, count - done);
    if (i >= s.chunks.size()) return false;
    const uint32_t number = s.chunks[i];
    const BlockRecord* r = number < directory.size() ? &directory[number] : nullptr;
    // The lookup checked this chunk's length, and nothing has resized it since. (A chunk
    // past the stream's end fails either way.)
    const bool known = r && r->type == BlockData && r->offset != 0 && r->size > cs && a_.RegionIsOwn(number) &&
                       (!work || work->unchecked.empty() || !work->unchecked.count(number));
    if (!known) {
      if (!flush() || a_.ReadBlockPart(number, buffer + done, piece, within) != static_cast<int32_t>(piece))
        return false;
    } else {
      const uint32_t at = r->offset + 4 + within;
      if (pieces > 0) {
        const Piece& last = run[pieces - 1];
        const uint64_t end = uint64_t{last.at} + last.length;
        if (pieces == kGatherPieces || at < end || at - end > kGatherGap || at + piece - run[0].at > kGatherLimit) {
          if (!flush()) return false;
        }
      }
      run[pieces++] = {at, piece, done};
    }
    done += piece;
    pos += piece;
  }
  return flush();
}

// Sets the stream's bytes [from, to) to zero where chunks hold them. A stream that grows
// shows zeros, not what its chunks kept from before it shrank.
int32_t ChunkedStreams::ZeroChunkTail(ChunkedStream& s, uint32_t from, uint32_t to) {
  const uint32_t cs = s.chunkSize;
  to = static_cast<uint32_t>(std::min<uint64_t>(to, Capacity(s)));
  std::vector<uint8_t> zeros;
  for (uint32_t pos = from; pos < to;) {
    const size_t i = pos / cs;
    const uint32_t within = pos % cs;
    const uint32_t piece = std::min(cs - within, to - pos);
    const uint32_t number = s.chunks[i];
    if (s.tag == ChunkKindPlain) {
      zeros.assign(piece, 0);
      if (a_.WriteBlockPart(number, zeros.data(), piece, within) != static_cast<int32_t>(piece))
        return StorageWriteFailed;
    } else if (number != 0) {
      uint8_t* content;
      int32_t r = ChunkContent(s, i, content);
      if (r < 0) return r;
      uint8_t* first = content + within;
      uint8_t* last = first + piece;
      if (std::any_of(first, last, [](uint8_t b) { return b != 0; })) {
        std::fill(first, last, 0);
        r = WriteChunkBlock(number, content, cs);
        if (r < 1) {
          ForgetInflated(number);
          return StorageWriteFailed;
        }
        work_->Keep(content, static_cast<uint32_t>(r), a_.Directory()[static_cast<uint32_t>(r)]);
      }
    }
    pos += piece;
  }
  return 0;
}

bool ChunkedStreams::ResizeChunked(ChunkedStream& s, uint32_t newLength) {
  if (newLength > kMaxStreamLength) return false;
  const uint16_t cs = s.chunkSize;
  const uint64_t needed = ChunksFor(newLength, cs);
  const size_t present = s.chunks.size();
  if (needed == present && newLength == s.totalLength) return true;
  if (newLength > s.totalLength && ZeroChunkTail(s, s.totalLength, newLength) < 0) return false;

  std::vector<uint32_t> chunks = s.chunks, dropped, made;
  if (needed < present) {
    dropped.assign(chunks.begin() + static_cast<std::ptrdiff_t>(needed), chunks.end());
    chunks.resize(static_cast<size_t>(needed));
  } else if (needed > present) {
    if (needed > kMaxPayload / 4) return false;  // the index could not hold them
    chunks.reserve(static_cast<size_t>(needed));
    std::vector<uint8_t> zeros(s.tag == ChunkKindPlain ? cs : 0, 0);
    while (chunks.size() < needed) {
      if (s.tag == ChunkKindCompressed) {
        chunks.push_back(0);
        continue;
      }
      // New plain chunks are zero-filled: the space may hold bytes of whatever was freed there.
      // A block whose bytes could not be written is given back by CreateBlockRaw itself.
      int32_t number = a_.CreateBlockRaw(zeros.data(), cs, true);
      if (number <= 0) {
        for (uint32_t m : made) a_.DeleteBlock(m);
        return false;
      }
      made.push_back(static_cast<uint32_t>(number));
      chunks.push_back(static_cast<uint32_t>(number));
    }
  }

  ChunkedStream updated;
  updated.tag = s.tag;
  updated.chunkSize = cs;
  updated.totalLength = newLength;
  updated.chunks = std::move(chunks);
  updated.indexBlock = s.indexBlock;
  updated.lastAccess = s.lastAccess;
  if (!SaveChunkIndex(updated)) {
    const uint32_t block = s.indexBlock;
    DropChunked(block);
    for (uint32_t m : made) a_.DeleteBlock(m);
    return false;
  }
  UnmapChunks(s);
  s = std::move(updated);
  MapChunks(s);
  // Freed only now: until the shorter index was saved, the stored one still named them.
  for (uint32_t d : dropped) a_.DeleteBlock(d);
  return true;
}

int32_t ChunkedStreams::ReadChunked(ChunkedStream& s, uint8_t* buffer, uint32_t length, int64_t offset) {
  uint32_t pos, count;
  int32_t r = Normalise(s, length, offset, pos, count);
  if (r < 0) return r;
  if (s.tag == ChunkKindPlain) return ReadPlainPieces(s, buffer, pos, count) ? static_cast<int32_t>(count) : StorageReadFailed;
  const uint32_t cs = s.chunkSize;
  uint32_t done = 0;
  while (done < count) {
    const size_t i = pos / cs;
    const uint32_t within = pos % cs;
    const uint32_t piece = std::min(cs - within, count - done);
    if (i >= s.chunks.size()) return StorageReadFailed;
    const uint32_t number = s.chunks[i];
    const BlockRecord record = number < a_.Directory().size() ? a_.Directory()[number] : BlockRecord{};
    if (piece == cs && !Work().Find(number, record, cs)) {
      // A whole chunk goes straight into the caller's buffer.
      if (number == 0) {
        std::memset(buffer + done, 0, cs);
      } else if ((r = InflateChunk(s, number, buffer + done)) < 0) {
        return r;
      }
    } else {
      uint8_t* content;
      if ((r = ChunkContent(s, i, content)) < 0) return r;
      std::memcpy(buffer + done, content + within, piece);
    }
    done += piece;
    pos += piece;
  }
  return static_cast<int32_t>(done);
}

int32_t ChunkedStreams::WriteChunked(ChunkedStream& s, const uint8_t* data, uint32_t length, int64_t offset) {
  uint32_t pos, count;
  int32_t r = Normalise(s, length, offset, pos, count);
  if (r < 0) return r;
  const uint32_t cs = s.chunkSize;
  std::vector<uint32_t> made;  // blocks that replaced chunks of zeros
  bool changed = false;
  int32_t error = 0;
  uint32_t done = 0;
  while (done < count) {
    const size_t i = pos / cs;
    const uint32_t within = pos % cs;
    const uint32_t piece = std::min(cs - within, count - done);
    if (i >= s.chunks.size()) {
      error = StorageWriteFailed;
      break;
    }
    const uint32_t number = s.chunks[i];
    if (s.tag == ChunkKindPlain) {
      if (a_.WriteBlockPart(number, data + done, piece, within) != static_cast<int32_t>(piece)) {
        error = StorageWriteFailed;
        break;
      }
    } else {
      int32_t written;
      if (within == 0 && (piece == cs || pos + piece == s.totalLength)) {
        // The piece is all the chunk holds: it becomes the chunk's content as it is.
        written = WriteChunkBlock(number, data + done, piece);
      } else {
        uint8_t* content;
        int32_t got = ChunkContent(s, i, content);
        if (got < 0) {
          error = got;
          break;
        }
        std::memcpy(content + within, data + done, piece);
        written = WriteChunkBlock(number, content, cs);
        // The merged content is what the block now holds, or, after a failure, nothing.
        if (written > 0) {
          work_->Keep(content, static_cast<uint32_t>(written), a_.Directory()[static_cast<uint32_t>(written)]);
        } else {
          ForgetInflated(number);
        }
      }
      if (written < 1) {
        error = StorageWriteFailed;
        break;
      }
      if (static_cast<uint32_t>(written) != number) {
        if (number == 0) made.push_back(static_cast<uint32_t>(written));
        if (number != 0) UnmapChunk(number, s.indexBlock);
        s.chunks[i] = static_cast<uint32_t>(written);
        owners_.emplace(static_cast<uint32_t>(written), s.indexBlock);
        changed = true;
      }
    }
    done += piece;
    pos += piece;
  }
  if (changed && !SaveChunkIndex(s)) {
    // The stored index does not name the new blocks: free them rather than lose the space.
    const uint32_t block = s.indexBlock;
    DropChunked(block);
    for (uint32_t m : made) a_.DeleteBlock(m);
    return StorageWriteFailed;
  }
  return error ? error : static_cast<int32_t>(done);
}

// Frees the chunks and the index of the stream at block, as cached or else as stored.
bool ChunkedStreams::DeleteChunked(uint32_t block) {
  ChunkedStream s;
  if (ChunkedStream* cached = FindChunked(block)) {
    s = *cached;
    DropChunked(block);
  } else if (!LoadChunkIndex(block, s)) {
    return false;
  }
  for (uint32_t c : s.chunks) a_.DeleteBlock(c);
  return a_.DeleteBlock(block) >= 0;
}

// ---------------------------------------------------------------------------------------
// The operations

int32_t ChunkedStreams::Create(const void* data, uint32_t length, uint16_t chunkSize, uint16_t kind) {
  if (chunkSize == 0 || !KnownKind(kind) || length > kMaxStreamLength || (length && !data)) return StorageWriteFailed;
  int32_t number = 0;
  try {
    if (cache_.size() >= StorageManager::kChunkCacheLimit) EvictChunkedStream();
    uint8_t header[kIndexHeaderSize];
    StoreLe16(header, kind);
    StoreLe16(header + 2, chunkSize);
    StoreLe32(header + 4, 0);
    number = a_.Options() & OptionCompressChunkIndex ? a_.CreateBlock(header, sizeof header, true)
                                                 : a_.CreateBlockRaw(header, sizeof header, true);
    if (number < 1) return StorageWriteFailed;
    ChunkedStream& s = cache_[static_cast<uint32_t>(number)];
    s.tag = kind;
    s.chunkSize = chunkSize;
    s.indexBlock = static_cast<uint32_t>(number);
    s.lastAccess = Ticks();
    bool ok = ResizeChunked(s, length);
    // A failed save drops the cache entry: then the stored (empty) index is what is left.
    ChunkedStream* cached = FindChunked(static_cast<uint32_t>(number));
    if (ok && cached) {
      ok = WriteChunked(*cached, static_cast<const uint8_t*>(data), length, 0) == static_cast<int32_t>(length);
    }
    if (ok && FindChunked(static_cast<uint32_t>(number))) return number;
  } catch (const std::exception&) {
  }
  if (number > 0) {
    try {
      DeleteChunked(static_cast<uint32_t>(number));
    } catch (const std::exception&) {
    }
    DropChunked(static_cast<uint32_t>(number));
  }
  return StorageWriteFailed;
}

int32_t ChunkedStreams::Length(uint32_t block) {
  const ChunkedStream* s = Lookup(block);
  return s ? static_cast<int32_t>(s->totalLength) : StorageNoChunkedStream;
}

bool ChunkedStreams::Resize(uint32_t block, uint32_t newLength) {
  try {
    ChunkedStream* s = Lookup(block);
    return s && ResizeChunked(*s, newLength);
  } catch (const std::exception&) {
    return false;
  }
}

int32_t ChunkedStreams::Read(uint32_t block, void* buffer, uint32_t length, int64_t offset) {
  try {
    ChunkedStream* s = Lookup(block);
    if (!s) return StorageNoChunkedStream;
    return ReadChunked(*s, static_cast<uint8_t*>(buffer), length, offset);
  } catch (const std::exception&) {
    return StorageNoMemory;
  }
}

int32_t ChunkedStreams::Write(uint32_t block, const void* data, uint32_t length, int64_t offset) {
  try {
    ChunkedStream* s = Lookup(block);
    if (!s) return StorageNoChunkedStream;
    return WriteChunked(*s, static_cast<const uint8_t*>(data), length, offset);
  } catch (const std::exception&) {
    return StorageNoMemory;
  }
}

bool ChunkedStreams::Delete(uint32_t block) {
  try {
    return Lookup(block) && DeleteChunked(block);
  } catch (const std::exception&) {
    return false;
  }
}

int32_t ChunkedStreams::Repair(uint32_t block) {
  try {
    ChunkedStream work;
    ChunkedStream* cached = FindChunked(block);
    if (cached) {
      work = *cached;
    } else if (!LoadChunkIndex(block, work)) {
      return 0;
    }
    bool changed = false;
    ChunkChecker checker(work);
    auto lengthOf = [this](uint32_t b) { return a_.GetBlockLength(b); };
    if (work.tag == ChunkKindPlain) {
      for (size_t i = 0; i < work.chunks.size(); ++i) {
        if (!checker.Usable(work.chunks[i], lengthOf)) {
          work.chunks.resize(i);
          changed = true;
          break;
        }
      }
    } else {
      for (uint32_t& c : work.chunks) {
        if (!checker.Usable(c, lengthOf)) {
          c = 0;
          changed = true;
        }
      }
    }
    if (Capacity(work) < work.totalLength) {
      work.totalLength = static_cast<uint32_t>(Capacity(work));
      changed = true;
    }
    if (!changed) return 0;
    if (!SaveChunkIndex(work)) {
      DropChunked(block);
      return StorageChunkIndexNotSaved;
    }
    if (cached) {
      UnmapChunks(*cached);
      *cached = std::move(work);
      MapChunks(*cached);
    }
    return 1;
  } catch (const std::exception&) {
    DropChunked(block);
    return StorageNoMemory;
  }
}

}  // namespace tolvane

// ---------------------------------------------------------------------------------------
// The operations callers see

namespace {

const std::map<uint32_t, ChunkedStream> kNoStreams;

// A call into the chunked streams; fallback when the writing side could not be made.
template <typename R, typename F>
R Guarded(R fallback, F&& call) {
  try {
    return call();
  } catch (const std::exception&) {
    return fallback;
  }
}

}  // namespace

int32_t StorageManager::CreateChunkedStream(const void* data, uint32_t length, uint16_t chunkSize, uint16_t kind) {
  if (!stream_) return StorageNotOpen;
  return Guarded(int32_t{StorageWriteFailed}, [&] { return Update().Chunks().Create(data, length, chunkSize, kind); });
}

int32_t StorageManager::GetChunkedStreamLength(uint32_t block) {
  if (!stream_) return StorageNotOpen;
  return Guarded(int32_t{StorageNoChunkedStream}, [&] { return Update().Chunks().Length(block); });
}

bool StorageManager::ResizeChunkedStream(uint32_t block, uint32_t newLength) {
  if (!stream_) return false;
  return Guarded(false, [&] { return Update().Chunks().Resize(block, newLength); });
}

int32_t StorageManager::ReadChunkedStream(uint32_t block, void* buffer, uint32_t length, int64_t offset) {
  if (!stream_) return StorageNotOpen;
  return Guarded(int32_t{StorageNoMemory}, [&] { return Update().Chunks().Read(block, buffer, length, offset); });
}

int32_t StorageManager::WriteChunkedStream(uint32_t block, const void* data, uint32_t length, int64_t offset) {
  if (!stream_) return StorageNotOpen;
  return Guarded(int32_t{StorageNoMemory}, [&] { return Update().Chunks().Write(block, data, length, offset); });
}

bool StorageManager::DeleteChunkedStream(uint32_t block) {
  if (!stream_) return false;
  return Guarded(false, [&] { return Update().Chunks().Delete(block); });
}

int32_t StorageManager::RepairChunkedStream(uint32_t block) {
  if (!stream_) return StorageNotOpen;
  return Guarded(int32_t{StorageNoMemory}, [&] { return Update().Chunks().Repair(block); });
}

const ChunkedStream* StorageManager::LookupChunkedStream(uint32_t block) {
  if (!stream_) return nullptr;
  return Guarded(static_cast<const ChunkedStream*>(nullptr), [&] { return Update().Chunks().Lookup(block); });
}

const std::map<uint32_t, ChunkedStream>& StorageManager::ChunkCache() const {
  const tolvane::ChunkedStreams* chunks = writer_ ? writer_->ChunksIfMade() : nullptr;
  return chunks ? chunks->Cache() : kNoStreams;
}

int32_t StorageManager::ListChunks(const ChunkedStream& stream, std::vector<uint32_t>& out) {
  try {
    out = stream.chunks;
  } catch (const std::exception&) {
    out.clear();
    return StorageNoMemory;
  }
  return static_cast<int32_t>(out.size());
}
