// Chunked streams: large streams kept as fixed-size chunks, each its own block, and an
// index block naming them. Written on the archive's block operations; the cache keeps
// recently used indexes and a few inflated chunks. Internal to storage/; reached through
// StorageManager's chunked-stream operations.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <unordered_map>
#include <vector>

#include "storage/storage_types.h"

class StorageManager;

namespace tolvane {

class ChunkWorkspace;

class ChunkedStreams {
 public:
  explicit ChunkedStreams(StorageManager& archive);
  ~ChunkedStreams();
  ChunkedStreams(const ChunkedStreams&) = delete;
  ChunkedStreams& operator=(const ChunkedStreams&) = delete;

  // The operations, as StorageManager documents them.
  int32_t Create(const void* data, uint32_t length, uint16_t chunkSize, uint16_t kind);
  int32_t Length(uint32_t block);
  bool Resize(uint32_t block, uint32_t newLength);
  int32_t Read(uint32_t block, void* buffer, uint32_t length, int64_t offset);
  int32_t Write(uint32_t block, const void* data, uint32_t length, int64_t offset);
  bool Delete(uint32_t block);
  int32_t Repair(uint32_t block);
  // The cached stream at block, loaded and checked when it is not cached; null when block
  // holds no usable index.
  ChunkedStream* Lookup(uint32_t block);
  const std::map<uint32_t, ChunkedStream>& Cache() const;

  // What the block operations tell: a block's bytes are about to change (an inflated copy
  // is stale), its length may change (a plain-kind stream no longer knows it), or it was
  // deleted (the streams naming it are no longer usable as cached).
  void ForgetInflated(uint32_t block);
  void NoteBlockResized(uint32_t block);
  void ForgetChunkBlock(uint32_t block);

 private:
  ChunkWorkspace& Work();
  uint32_t Ticks() const;
  ChunkedStream* FindChunked(uint32_t block);
  void MapChunks(const ChunkedStream& s);
  void UnmapChunk(uint32_t chunk, uint32_t indexBlock);
  void UnmapChunks(const ChunkedStream& s);
  void DropChunked(uint32_t block);
  bool LoadChunkIndex(uint32_t block, ChunkedStream& out);
  bool ChunksUsable(const ChunkedStream& s);
  void EvictChunkedStream();
  bool SaveChunkIndex(const ChunkedStream& s);
  int32_t ReadChunkStored(uint32_t block, const uint8_t*& payload, uint32_t& length);
  int32_t InflateChunk(const ChunkedStream& s, uint32_t number, uint8_t* out);
  int32_t ChunkContent(const ChunkedStream& s, size_t index, uint8_t*& content);
  int32_t WriteChunkBlock(uint32_t number, const uint8_t* content, uint32_t length);
  bool ReadPlainPieces(const ChunkedStream& s, uint8_t* buffer, uint32_t pos, uint32_t count);
  int32_t ZeroChunkTail(ChunkedStream& s, uint32_t from, uint32_t to);
  bool ResizeChunked(ChunkedStream& s, uint32_t newLength);
  int32_t ReadChunked(ChunkedStream& s, uint8_t* buffer, uint32_t length, int64_t offset);
  int32_t WriteChunked(ChunkedStream& s, const uint8_t* data, uint32_t length, int64_t offset);
  bool DeleteChunked(uint32_t block);

  StorageManager& a_;
  std::map<uint32_t, ChunkedStream> cache_;
  // Chunk block -> index block of every cached stream naming it, so that a chunk block
  // deleted through the block operations takes its streams out of the cache.
  std::unordered_multimap<uint32_t, uint32_t> owners_;
  // Zlib streams, inflated chunks and buffers; made at their first use.
  std::unique_ptr<ChunkWorkspace> work_;
};

}  // namespace tolvane
