// The writing side: giving a block a region for a new length, in place when it can, moving
// it to a better-fitting free region when compact, giving back the unused tail.
#include "storage/chunked_stream.h"
#include "storage/storage_format.h"
#include "storage/storage_update.h"

using namespace tolvane::storage_format;

namespace tolvane {

int32_t StorageUpdate::ResizeBlock(uint32_t block, uint32_t length, bool compact) {
  if (block >= a_.directory_.size()) return StorageBadBlock;
  if (length > kMaxPayload) return StorageNoSpace;
  const uint32_t need = RegionSize(length);
  BlockRecord r = a_.directory_[block];
  bool hasRegion = r.type == BlockData && r.offset != 0;
  if (r.type != BlockData && r.type != BlockVacant) return StorageBadBlock;
  // A region outside the archive belongs to a damaged directory; writing there could
  // grow the archive without bound.
  if (hasRegion && (!a_.InBounds(r.offset, r.size) || a_.IsDamaged(block))) return StorageBadBlock;
  NoteBlockResized(block);
  if (hasRegion) space_.PrefetchForResize(need, r.offset, r.size);

  if (!hasRegion) {
    int64_t at = space_.Allocate(need, StorageManager::kNoRecord);
    if (at < 1) return static_cast<int32_t>(at);
    space_.SetRecord(block, BlockData, static_cast<uint32_t>(at), need);
  } else if (r.size < need) {
    if (static_cast<uint64_t>(r.offset) + r.size == a_.end_) {
      if (!space_.SetEnd(static_cast<uint64_t>(r.offset) + need)) return StorageNoSpace;
      space_.SetRecord(block, BlockData, r.offset, need);
    } else {
      int64_t at = space_.Allocate(need, block);
      if (at < 1) return StorageNoSpace;
      space_.Release(r.offset, r.size, block);
      space_.SetRecord(block, BlockData, static_cast<uint32_t>(at), need);
    }
  } else if (compact) {
    // Move into a better-fitting free region when there is one.
    FreeRegion best;
    bool isLast = static_cast<uint64_t>(r.offset) + r.size == a_.end_;
    if (space_.FindBestFree(need, block, best) &&
        (best.size < r.size || isLast || (best.size == r.size && best.offset < r.offset))) {
      space_.SetRecord(block, BlockData, best.offset, best.size);
      space_.Vacate(best.number);
      space_.Release(r.offset, r.size, StorageManager::kNoRecord);
      r = a_.directory_[block];
    }
    // Give back the unused tail of the region.
    uint32_t diff = r.size - need;
    uint64_t tailEnd = static_cast<uint64_t>(r.offset) + r.size;
    if (r.size % 16) {
      a_.status_ |= StatusSpaceLost;
    } else if (diff != 0) {
      if (tailEnd % 16) {
        a_.status_ |= StatusSpaceLost;
      } else {
        uint32_t following = 0;
        int32_t found = tailEnd > 0xFFFFFFFFu ? StorageOffsetBeyondEnd
                                              : space_.FindRegionAt(static_cast<uint32_t>(tailEnd), following);
        if (found == StorageOffsetBeyondEnd) {
          if (space_.SetEnd(tailEnd - diff)) space_.SetRecord(block, BlockData, r.offset, need);
        } else if (found == StorageNoRegionAtOffset) {
          a_.status_ |= StatusSpaceLost;
        } else if (following == StorageManager::kNoRecord || a_.directory_[following].type == BlockData) {
          int32_t n = space_.NewRecordNumber();
          if (n > 0) {
            space_.SetRecord(static_cast<uint32_t>(n), BlockFree, static_cast<uint32_t>(tailEnd - diff), diff);
            space_.SetRecord(block, BlockData, r.offset, need);
          }
        } else {
          BlockRecord f = a_.directory_[following];
          if (f.offset > diff) {
            space_.SetRecord(following, BlockFree, f.offset - diff, f.size + diff);
            space_.SetRecord(block, BlockData, r.offset, need);
          } else {
            a_.status_ |= StatusSpaceLost;
          }
        }
      }
    }
  }

  uint8_t prefix[4];
  StoreLe32(prefix, length);
  Preserve(a_.directory_[block].offset, 4 + length);
  if (!a_.stream_->Seek(a_.directory_[block].offset) || !a_.stream_->Write(prefix, 4)) return StorageWriteFailed;
  return static_cast<int32_t>(length);
}

}  // namespace tolvane
