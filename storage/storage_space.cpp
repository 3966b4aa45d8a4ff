// The block layer's free space: records, the vacant numbers and free regions, and the
// allocator (see storage_space.h).
#include "storage/storage_space.h"

#include <algorithm>
#include <exception>

#include "storage/storage_format.h"
#include "storage/storage_manager.h"
#include "storage/storage_update.h"

using namespace tolvane::storage_format;

namespace tolvane {

StorageSpace::StorageSpace(StorageManager& archive) : a_(archive) {}

void StorageSpace::IndexRecord(uint32_t number) {
  const BlockRecord& r = a_.directory_[number];
  switch (r.type) {
    case BlockVacant:
      vacant_.Insert(number);
      break;
    case BlockFree:
      if (a_.InBounds(r.offset, r.size) && !a_.IsDamaged(number)) {
        FreeRegion region{number, r.offset, r.size};
        free_.Update(number, nullptr, &region);
      }
      break;
    default:
      break;
  }
}

void StorageSpace::Rebuild() {
  vacant_.Clear();
  free_.Clear();
  for (uint32_t i = 0; i < a_.directory_.size(); ++i) IndexRecord(i);
  tilingKnown_ = false;
}

// Whether the regions tile the archive, without empty regions: then whatever follows a
// region and is not free is a block in use.
void StorageSpace::LearnTiling() {
  if (tilingKnown_) return;
  tiled_ = a_.CheckIntegrity() == 0;
  for (const BlockRecord& r : a_.directory_) {
    if ((r.type == BlockFree || (r.type == BlockData && r.offset != 0)) && r.size == 0) tiled_ = false;
  }
  tilingKnown_ = true;
}

// Changes one record and, with as few steps as the change needs, the indexes.
void StorageSpace::SetRecord(uint32_t number, uint8_t type, uint32_t offset, uint32_t size) {
  if (!tilingKnown_) LearnTiling();
  const BlockRecord old = a_.directory_[number];
  if (log_) log_->emplace_back(number, old);
  a_.directory_[number] = BlockRecord{type, 0, offset, size};
  a_.status_ |= StatusDirectoryChanged;
  // A damaged record stays so until it is given another region, or none.
  if (!a_.damaged_.empty() && (type == BlockVacant || type == BlockLost || offset != old.offset || size != old.size)) {
    auto it = std::lower_bound(a_.damaged_.begin(), a_.damaged_.end(), number);
    if (it != a_.damaged_.end() && *it == number) a_.damaged_.erase(it);
  }

  if ((old.type == BlockVacant) != (type == BlockVacant)) {
    if (type == BlockVacant) {
      vacant_.Insert(number);
    } else {
      vacant_.Erase(number);
    }
  }

  FreeRegion before{number, old.offset, old.size}, after{number, offset, size};
  const FreeRegion* was = old.type == BlockFree ? &before : nullptr;
  const FreeRegion* is = type == BlockFree && a_.InBounds(offset, size) ? &after : nullptr;
  if (was || is) free_.Update(number, was, is);
}

void StorageSpace::Vacate(uint32_t number) {
  if (number < a_.directory_.size() && a_.directory_[number].type != BlockVacant) SetRecord(number, BlockVacant, 0, 0);
}

bool StorageSpace::SetEnd(uint64_t newEnd) {
  if (newEnd == a_.end_) return true;
  LearnTiling();
  if (newEnd > 0xFFFFFFF0u) return false;
  if (!a_.stream_->SetSize(static_cast<uint32_t>(newEnd), (a_.options_ & OptionSetSizeFlag) != 0)) return false;
  a_.end_ = static_cast<uint32_t>(newEnd);
  a_.status_ |= StatusDataChanged;
  return true;
}

// Record numbers 0 and 1 belong to the directory and the root list and are never handed
// out, even when record 1 is vacant because the root is empty.
int32_t StorageSpace::NewRecordNumber() {
  uint32_t lowest = 0;
  if (vacant_.LowestFrom(2, lowest)) return static_cast<int32_t>(lowest);
  if (a_.directory_.size() > kEntryBlockMask) return StorageNoMemory;
  try {
    do {
      a_.directory_.push_back(BlockRecord{});
      vacant_.Insert(static_cast<uint32_t>(a_.directory_.size() - 1));
    } while (a_.directory_.size() < 3);
  } catch (const std::exception&) {
    return StorageNoMemory;
  }
  a_.status_ |= StatusDirectoryChanged;
  return static_cast<int32_t>(a_.directory_.size() - 1);
}

void StorageSpace::EnsureReservedRecords() {
  if (a_.directory_.size() >= 2) return;
  while (a_.directory_.size() < 2) {
    a_.directory_.push_back(BlockRecord{});
    vacant_.Insert(static_cast<uint32_t>(a_.directory_.size() - 1));
  }
  SetRecord(0, BlockData, 0, 0);
  SetRecord(1, BlockData, 0, 0);
}

void StorageSpace::PrefetchBestFit(uint32_t need) const { free_.PrefetchBestFit(need); }

void StorageSpace::PrefetchNeighbours(uint32_t offset, uint32_t size) const {
  free_.PrefetchNeighbours(offset, static_cast<uint64_t>(offset) + size);
}

void StorageSpace::PrefetchForResize(uint32_t need, uint32_t offset, uint32_t size) const {
  free_.PrefetchBestFit(need);
  PrefetchNeighbours(offset, size);
}

bool StorageSpace::FindBestFree(uint32_t need, uint32_t exclude, FreeRegion& found) {
  while (free_.BestFit(need, exclude, found)) {
    if (a_.InBounds(found.offset, found.size)) {
      // The caller takes the region next: its record, index entries and bytes.
      __builtin_prefetch(&a_.directory_[found.number]);
      free_.PrefetchRegion(found);
      a_.stream_->Prefetch(found.offset);
      return true;
    }
    // The archive shrank under a region of a damaged directory: forget it.
    free_.Update(found.number, &found, nullptr);
    a_.status_ |= StatusSpaceLost;
  }
  return false;
}

int64_t StorageSpace::Allocate(uint32_t need, uint32_t exclude) {
  FreeRegion best;
  if (!FindBestFree(need, exclude, best)) {
    uint32_t start = a_.end_;
    if (!SetEnd(static_cast<uint64_t>(a_.end_) + need)) return StorageNoSpace;
    return start;
  }
  if (best.size == need) {
    Vacate(best.number);
  } else {
    SetRecord(best.number, BlockFree, best.offset + need, best.size - need);
  }
  return best.offset;
}

void StorageSpace::TrimIfLast(uint32_t number) {
  const BlockRecord& r = a_.directory_[number];
  if (static_cast<uint64_t>(r.offset) + r.size == a_.end_ && SetEnd(r.offset)) Vacate(number);
}

bool StorageSpace::Release(uint32_t offset, uint32_t size, uint32_t exclude) {
  // Space outside the archive (a damaged record) is never recorded as free.
  if (!a_.InBounds(offset, size)) {
    a_.status_ |= StatusSpaceLost;
    return false;
  }
  uint32_t nextNumber = 0, prevNumber = 0;
  free_.PrefetchNeighbours(offset, static_cast<uint64_t>(offset) + size);
  bool hasNext = free_.StartingAt(offset + size, exclude, nextNumber);
  bool hasPrev = free_.EndingAt(offset, exclude, prevNumber);
  // The neighbours' index entries are updated below, after their records are read.
  if (hasNext) free_.PrefetchSlot(nextNumber);
  if (hasPrev) free_.PrefetchSlot(prevNumber);
  const BlockRecord& n = a_.directory_[hasNext ? nextNumber : 0];
  const BlockRecord& p = a_.directory_[hasPrev ? prevNumber : 0];
  const FreeRegion next{nextNumber, n.offset, n.size}, prev{prevNumber, p.offset, p.size};
  if (!hasNext && !hasPrev) {
    int32_t n = NewRecordNumber();
    if (n < 1) {
      a_.status_ |= StatusSpaceLost;
      return false;
    }
    SetRecord(static_cast<uint32_t>(n), BlockFree, offset, size);
    TrimIfLast(static_cast<uint32_t>(n));
  } else if (!hasPrev) {
    SetRecord(next.number, BlockFree, offset, next.size + size);
    TrimIfLast(next.number);
  } else if (!hasNext) {
    SetRecord(prev.number, BlockFree, prev.offset, prev.size + size);
    TrimIfLast(prev.number);
  } else {
    // The merged region keeps the lower of the two numbers.
    uint32_t low = std::min(prev.number, next.number);
    uint32_t high = std::max(prev.number, next.number);
    Vacate(high);
    SetRecord(low, BlockFree, prev.offset, prev.size + size + next.size);
    TrimIfLast(low);
  }
  a_.status_ |= StatusDirectoryChanged;
  return true;
}

// The lowest-numbered region starting at offset: number is StorageManager::kNoRecord for a block in use
// found without a number (the regions tile the archive, so what is not free is in use).
int32_t StorageSpace::FindRegionAt(uint32_t offset, uint32_t& number) {
  if (offset >= a_.end_) return StorageOffsetBeyondEnd;
  LearnTiling();
  if (tiled_) {
    if (!free_.StartingAt(offset, StorageManager::kNoRecord, number)) number = StorageManager::kNoRecord;
    return 0;
  }
  // A damaged directory: look at every record.
  for (uint32_t i = 0; i < a_.directory_.size(); ++i) {
    const BlockRecord& r = a_.directory_[i];
    if (r.offset == offset && (r.type == BlockFree || (r.type == BlockData && r.offset != 0)) && !a_.IsDamaged(i)) {
      number = i;
      return 0;
    }
  }
  return StorageNoRegionAtOffset;
}

void StorageSpace::TrimDirectory() {
  while (a_.directory_.size() > 2 && a_.directory_.back().type == BlockVacant) {
    vacant_.Erase(static_cast<uint32_t>(a_.directory_.size() - 1));
    a_.directory_.pop_back();
  }
}

void StorageSpace::Clear() {
  vacant_.Clear();
  free_.Clear();
  tiled_ = true;
  tilingKnown_ = true;
}

}  // namespace tolvane

// ---------------------------------------------------------------------------------------
// The space operations callers see

int64_t StorageManager::AllocateSpace(uint32_t need, uint32_t exclude) {
  if (!stream_) return StorageNotOpen;
  return Update().Space().Allocate(need, exclude);
}

bool StorageManager::ReleaseSpace(uint32_t offset, uint32_t size, uint32_t exclude) {
  if (!stream_) return false;
  return Update().Space().Release(offset, size, exclude);
}

int32_t StorageManager::ResizeBlock(uint32_t block, uint32_t length, bool compact) {
  if (!stream_) return StorageNotOpen;
  return Update().ResizeBlock(block, length, compact);
}
