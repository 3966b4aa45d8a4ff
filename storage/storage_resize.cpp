// StorageManager: giving a block a region for a new length. Apart from the other space
// operations (storage_space.cpp) because it reaches into the chunked streams, which a
// program that only reads archives does not link.
#include "storage/storage_format.h"
#include "storage/storage_manager.h"

using namespace tolvane::storage_format;
using tolvane::FreeRegion;

int32_t StorageManager::ResizeBlock(uint32_t block, uint32_t length, bool compact) {
  if (!stream_) return StorageNotOpen;
  if (block >= directory_.size()) return StorageBadBlock;
  if (length > kMaxPayload) return StorageNoSpace;
  const uint32_t need = RegionSize(length);
  BlockRecord r = directory_[block];
  bool hasRegion = r.type == BlockData && r.offset != 0;
  if (r.type != BlockData && r.type != BlockVacant) return StorageBadBlock;
  // A region outside the archive belongs to a damaged directory; writing there could
  // grow the archive without bound.
  if (hasRegion && (!InBounds(r.offset, r.size) || IsDamaged(block))) return StorageBadBlock;
  NoteBlockResized(block);

  if (!hasRegion) {
    int64_t at = AllocateSpace(need, kNoRecord);
    if (at < 1) return static_cast<int32_t>(at);
    SetRecord(block, BlockData, static_cast<uint32_t>(at), need);
  } else if (r.size < need) {
    if (static_cast<uint64_t>(r.offset) + r.size == end_) {
      if (!SetEnd(static_cast<uint64_t>(r.offset) + need)) return StorageNoSpace;
      SetRecord(block, BlockData, r.offset, need);
    } else {
      int64_t at = AllocateSpace(need, block);
      if (at < 1) return StorageNoSpace;
      ReleaseSpace(r.offset, r.size, block);
      SetRecord(block, BlockData, static_cast<uint32_t>(at), need);
    }
  } else if (compact) {
    // Move into a better-fitting free region when there is one.
    FreeRegion best;
    bool isLast = static_cast<uint64_t>(r.offset) + r.size == end_;
    if (FindBestFree(need, block, best) &&
        (best.size < r.size || isLast || (best.size == r.size && best.offset < r.offset))) {
      SetRecord(block, BlockData, best.offset, best.size);
      Vacate(best.number);
      ReleaseSpace(r.offset, r.size, kNoRecord);
      r = directory_[block];
    }
    // Give back the unused tail of the region.
    uint32_t diff = r.size - need;
    uint64_t tailEnd = static_cast<uint64_t>(r.offset) + r.size;
    if (r.size % 16) {
      status_ |= StatusSpaceLost;
    } else if (diff != 0) {
      if (tailEnd % 16) {
        status_ |= StatusSpaceLost;
      } else {
        uint32_t following = 0;
        int32_t found = tailEnd > 0xFFFFFFFFu ? StorageOffsetBeyondEnd
                                              : FindRegionAt(static_cast<uint32_t>(tailEnd), following);
        if (found == StorageOffsetBeyondEnd) {
          if (SetEnd(tailEnd - diff)) SetRecord(block, BlockData, r.offset, need);
        } else if (found == StorageNoRegionAtOffset) {
          status_ |= StatusSpaceLost;
        } else if (following == kNoRecord || directory_[following].type == BlockData) {
          int32_t n = NewRecordNumber();
          if (n > 0) {
            SetRecord(static_cast<uint32_t>(n), BlockFree, static_cast<uint32_t>(tailEnd - diff), diff);
            SetRecord(block, BlockData, r.offset, need);
          }
        } else {
          BlockRecord f = directory_[following];
          if (f.offset > diff) {
            SetRecord(following, BlockFree, f.offset - diff, f.size + diff);
            SetRecord(block, BlockData, r.offset, need);
          } else {
            status_ |= StatusSpaceLost;
          }
        }
      }
    }
  }

  uint8_t prefix[4];
  Put32(prefix, length);
  Preserve(directory_[block].offset, 4 + length);
  if (!stream_->Seek(directory_[block].offset) || !stream_->Write(prefix, 4)) return StorageWriteFailed;
  return static_cast<int32_t>(length);
}
