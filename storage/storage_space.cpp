// StorageManager: block records and the space allocator.
//
// Every change of a record goes through SetRecord, which keeps the indexes of vacant
// numbers, free regions and used regions in step with the directory and marks the
// directory changed. Free regions that lie outside [128, end) (a damaged archive) are not
// indexed, so the allocator never hands out space outside the archive.
#include <algorithm>

#include "storage/region_sort.h"
#include "storage/storage_format.h"
#include "storage/storage_manager.h"

using namespace tolvane::storage_format;
using tolvane::FreeRegion;
using tolvane::Region;
using tolvane::SortByOffset;

bool StorageManager::InBounds(uint64_t offset, uint64_t size) const {
  return offset >= kHeaderSize && size > 0 && offset + size <= end_;
}

void StorageManager::IndexRecord(uint32_t number) {
  const BlockRecord& r = directory_[number];
  switch (r.type) {
    case BlockVacant:
      vacant_.Insert(number);
      break;
    case BlockFree:
      if (InBounds(r.offset, r.size) && !IsDamaged(number)) {
        FreeRegion region{number, r.offset, r.size};
        free_.Update(number, nullptr, &region);
      }
      break;
    default:
      break;
  }
}

void StorageManager::RebuildIndexes() {
  vacant_.Clear();
  free_.Clear();
  for (uint32_t i = 0; i < directory_.size(); ++i) IndexRecord(i);
  tilingKnown_ = false;
}

// Whether the regions tile the archive, without empty regions: then whatever follows a
// region and is not free is a block in use.
void StorageManager::LearnTiling() {
  if (tilingKnown_) return;
  tiled_ = CheckIntegrity() == 0;
  for (const BlockRecord& r : directory_) {
    if ((r.type == BlockFree || (r.type == BlockData && r.offset != 0)) && r.size == 0) tiled_ = false;
  }
  tilingKnown_ = true;
}

// Changes one record and, with as few steps as the change needs, the indexes.
void StorageManager::SetRecord(uint32_t number, uint8_t type, uint32_t offset, uint32_t size) {
  LearnTiling();
  const BlockRecord old = directory_[number];
  if (undo_) undo_->emplace_back(number, old);
  directory_[number] = BlockRecord{type, 0, offset, size};
  status_ |= StatusDirectoryChanged;
  // A damaged record stays so until it is given another region, or none.
  if (!damaged_.empty() && (type == BlockVacant || type == BlockLost || offset != old.offset || size != old.size)) {
    auto it = std::lower_bound(damaged_.begin(), damaged_.end(), number);
    if (it != damaged_.end() && *it == number) damaged_.erase(it);
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
  const FreeRegion* is = type == BlockFree && InBounds(offset, size) ? &after : nullptr;
  if (was || is) free_.Update(number, was, is);
}

void StorageManager::Vacate(uint32_t number) {
  if (number < directory_.size() && directory_[number].type != BlockVacant) SetRecord(number, BlockVacant, 0, 0);
}

bool StorageManager::SetEnd(uint64_t newEnd) {
  if (newEnd == end_) return true;
  LearnTiling();
  if (newEnd > 0xFFFFFFF0u) return false;
  if (!stream_->SetSize(static_cast<uint32_t>(newEnd), (options_ & OptionSetSizeFlag) != 0)) return false;
  end_ = static_cast<uint32_t>(newEnd);
  status_ |= StatusDataChanged;
  return true;
}

// Record numbers 0 and 1 belong to the directory and the root list and are never handed
// out, even when record 1 is vacant because the root is empty.
int32_t StorageManager::NewRecordNumber() {
  uint32_t lowest = 0;
  if (vacant_.LowestFrom(2, lowest)) return static_cast<int32_t>(lowest);
  if (directory_.size() > kEntryBlockMask) return StorageNoMemory;
  try {
    do {
      directory_.push_back(BlockRecord{});
      vacant_.Insert(static_cast<uint32_t>(directory_.size() - 1));
    } while (directory_.size() < 3);
  } catch (const std::exception&) {
    return StorageNoMemory;
  }
  status_ |= StatusDirectoryChanged;
  return static_cast<int32_t>(directory_.size() - 1);
}

void StorageManager::EnsureReservedRecords() {
  if (directory_.size() >= 2) return;
  while (directory_.size() < 2) {
    directory_.push_back(BlockRecord{});
    vacant_.Insert(static_cast<uint32_t>(directory_.size() - 1));
  }
  SetRecord(0, BlockData, 0, 0);
  SetRecord(1, BlockData, 0, 0);
}

bool StorageManager::FindBestFree(uint32_t need, uint32_t exclude, FreeRegion& found) {
  while (free_.BestFit(need, exclude, found)) {
    if (InBounds(found.offset, found.size)) return true;
    // The archive shrank under a region of a damaged directory: forget it.
    free_.Update(found.number, &found, nullptr);
    status_ |= StatusSpaceLost;
  }
  return false;
}

int64_t StorageManager::AllocateSpace(uint32_t need, uint32_t exclude) {
  if (!stream_) return StorageNotOpen;
  FreeRegion best;
  if (!FindBestFree(need, exclude, best)) {
    uint32_t start = end_;
    if (!SetEnd(static_cast<uint64_t>(end_) + need)) return StorageNoSpace;
    return start;
  }
  if (best.size == need) {
    Vacate(best.number);
  } else {
    SetRecord(best.number, BlockFree, best.offset + need, best.size - need);
  }
  return best.offset;
}

void StorageManager::TrimIfLast(uint32_t number) {
  const BlockRecord& r = directory_[number];
  if (static_cast<uint64_t>(r.offset) + r.size == end_ && SetEnd(r.offset)) Vacate(number);
}

bool StorageManager::ReleaseSpace(uint32_t offset, uint32_t size, uint32_t exclude) {
  if (!stream_) return false;
  // Space outside the archive (a damaged record) is never recorded as free.
  if (!InBounds(offset, size)) {
    status_ |= StatusSpaceLost;
    return false;
  }
  uint32_t nextNumber = 0, prevNumber = 0;
  free_.PrefetchNeighbours(offset, static_cast<uint64_t>(offset) + size);
  bool hasNext = free_.StartingAt(offset + size, exclude, nextNumber);
  bool hasPrev = free_.EndingAt(offset, exclude, prevNumber);
  const BlockRecord& n = directory_[hasNext ? nextNumber : 0];
  const BlockRecord& p = directory_[hasPrev ? prevNumber : 0];
  const FreeRegion next{nextNumber, n.offset, n.size}, prev{prevNumber, p.offset, p.size};
  if (!hasNext && !hasPrev) {
    int32_t n = NewRecordNumber();
    if (n < 1) {
      status_ |= StatusSpaceLost;
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
  status_ |= StatusDirectoryChanged;
  return true;
}

// The lowest-numbered region starting at offset: number is kNoRecord for a block in use
// found without a number (the regions tile the archive, so what is not free is in use).
int32_t StorageManager::FindRegionAt(uint32_t offset, uint32_t& number) {
  if (offset >= end_) return StorageOffsetBeyondEnd;
  LearnTiling();
  if (tiled_) {
    if (!free_.StartingAt(offset, kNoRecord, number)) number = kNoRecord;
    return 0;
  }
  // A damaged directory: look at every record.
  for (uint32_t i = 0; i < directory_.size(); ++i) {
    const BlockRecord& r = directory_[i];
    if (r.offset == offset && (r.type == BlockFree || (r.type == BlockData && r.offset != 0)) && !IsDamaged(i)) {
      number = i;
      return 0;
    }
  }
  return StorageNoRegionAtOffset;
}

int32_t StorageManager::CheckIntegrity(uint32_t* firstBad) const {
  if (firstBad) *firstBad = kNoRecord;
  if (!stream_) return StorageNotOpen;
  std::vector<Region> regions;
  for (uint32_t i = 0; i < directory_.size(); ++i) {
    const BlockRecord& r = directory_[i];
    if ((r.type == BlockData && r.offset != 0) || r.type == BlockFree) regions.push_back({r.offset, i, r.size});
  }
  SortByOffset(regions);
  uint64_t position = kHeaderSize;
  for (const Region& r : regions) {
    if (r.offset != position) {
      if (firstBad) *firstBad = r.number;
      return StorageIntegrityFailed;
    }
    position = static_cast<uint64_t>(r.offset) + r.size;
  }
  if (position != end_) {
    if (firstBad && !regions.empty()) *firstBad = regions.back().number;
    return StorageIntegrityFailed;
  }
  return 0;
}
