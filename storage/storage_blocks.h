// The block layer of an archive: the header's fields, the directory of block records and
// the regions found damaged at open, and reading a block's stored bytes. StorageManager is
// built on it and is the object callers use; the writing side changes this state as
// StorageManager's friend. Results: zero or positive, or a negative StorageError.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "storage/storage_format.h"
#include "storage/storage_stream.h"
#include "storage/storage_types.h"

class StorageBlocks {
 public:
  static constexpr uint32_t kNoRecord = 0xFFFFFFFFu;

  StorageBlocks(const StorageBlocks&) = delete;
  StorageBlocks& operator=(const StorageBlocks&) = delete;

  // --- Reads by block number (storage_blocks.cpp); block 0 holds no data. The stored
  // payload as it is, whole or a part of it.
  int32_t GetBlockLength(uint32_t block);
  int32_t ReadBlockRaw(uint32_t block, void* buffer, uint32_t capacity);
  int32_t ReadBlockRaw(uint32_t block, std::vector<uint8_t>& out, uint32_t maxSize = 0);
  int32_t ReadBlockPart(uint32_t block, void* buffer, uint32_t length, uint32_t offset);

  // --- The stored bytes, for the parts written on the block operations: length bytes at
  // an offset, or pieces that follow one another from it (all or nothing, false past the
  // stream's end); whether block's region lies in the archive, its own.
  bool ReadBytes(uint32_t offset, void* buffer, uint32_t length);
  bool ReadBytePieces(uint32_t offset, const StorageManagerStream::Piece* pieces, size_t count);
  bool RegionIsOwn(uint32_t block) const;

  // 0 when the regions tile [128, end) exactly; else StorageIntegrityFailed and firstBad
  // the first record out of place (kNoRecord: the end is wrong without any region).
  int32_t CheckIntegrity(uint32_t* firstBad = nullptr) const;

  // --- Inspection.
  const std::vector<BlockRecord>& Directory() const { return directory_; }
  uint32_t End() const { return end_; }
  uint32_t Status() const { return status_; }
  uint32_t Options() const { return options_; }
  const uint8_t* HeaderImage() const { return header_; }
  uint16_t Signature() const { return signature_; }
  uint16_t Version() const { return version_; }

 protected:
  StorageBlocks(uint16_t signature, uint16_t version) : signature_(signature), version_(version) {}
  ~StorageBlocks() = default;

  bool ReadAt(uint32_t offset, void* buffer, uint32_t length);
  // Whether [offset, offset + size) is a non-empty span of the archive past the header.
  bool InBounds(uint64_t offset, uint64_t size) const {
    return offset >= tolvane::storage_format::kHeaderSize && size > 0 && offset + size <= end_;
  }
  void FindDamagedRegions();
  bool IsDamaged(uint32_t number) const;
  int32_t LocateBlock(uint32_t block, uint32_t& payload, uint32_t& storedLength);
  int32_t LocatePart(uint32_t block, uint32_t offset, uint32_t length, uint32_t& at, uint32_t& n);
  int32_t ReadStoredPayload(uint32_t block, std::vector<uint8_t>& buffer);

  uint16_t signature_;
  uint16_t version_;
  uint32_t end_ = 0;
  std::vector<BlockRecord> directory_;
  std::vector<uint32_t> damaged_;  // records over damaged regions at open, sorted
  uint32_t options_ = 0;
  uint32_t status_ = 0;
  uint8_t header_[128] = {};
  std::unique_ptr<StorageManagerStream> stream_;
};
