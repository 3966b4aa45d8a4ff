// What the chunked-stream operations of one archive object keep between calls: the zlib
// streams, a few inflated chunks and the buffers for reading stored bytes. Internal to
// storage/.
#pragma once

#include <cstdint>
#include <unordered_set>
#include <vector>

#include "storage/storage_types.h"
#include "storage/zlib_codec.h"

namespace tolvane {

class ChunkWorkspace {
 public:
  ChunkWorkspace() = default;
  ChunkWorkspace(const ChunkWorkspace&) = delete;
  ChunkWorkspace& operator=(const ChunkWorkspace&) = delete;

  // A chunk's content, completed with zeros to the chunk size, as it was inflated from
  // block `block` while that block's record was `record`.
  struct Inflated {
    uint32_t block = 0;  // 0: unused slot
    BlockRecord record;
    uint32_t lastUse = 0;
    std::vector<uint8_t> content;
  };
  static constexpr size_t kSlots = 8;

  Inflater inflater;
  Deflater deflater;
  std::vector<uint8_t> stored;   // a chunk block's region as read

  // Plain-kind chunk blocks whose length may have changed since their stream's index was
  // checked (written through the block operations): read with their length prefix.
  std::unordered_set<uint32_t> unchecked;

  // The cached content of `block` if it is still what the block holds, else null.
  Inflated* Find(uint32_t block, const BlockRecord& record, uint16_t chunkSize);
  // A slot for new content of `block`, the one used longest ago; content sized chunkSize.
  Inflated& Take(uint32_t block, const BlockRecord& record, uint16_t chunkSize);
  // The slot holding `content` now holds what `block` holds, under `record`.
  void Keep(const uint8_t* content, uint32_t block, const BlockRecord& record);
  void Forget(uint32_t block);
  void Clear();

 private:
  Inflated slots_[kSlots];
  uint32_t clock_ = 0;
};

}  // namespace tolvane
