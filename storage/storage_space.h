// The block layer's free space: the records of an archive being updated, kept in step with
// the indexes of vacant record numbers and free regions, and the allocator that hands out
// regions best-fit from them. Internal to storage/; made by the writing side.
//
// Every change of a record goes through SetRecord, which keeps the indexes in step with the
// directory and marks the directory changed. Free regions that lie outside [128, end) (a
// damaged archive) are not indexed, so the allocator never hands out space outside it.
#pragma once

#include <cstdint>
#include <tuple>
#include <utility>
#include <vector>

#include "storage/free_space_index.h"
#include "storage/number_set.h"
#include "storage/storage_types.h"

class StorageManager;

namespace tolvane {

class StorageSpace {
 public:
  using ChangeLog = std::vector<std::pair<uint32_t, BlockRecord>>;  // number, record before

  explicit StorageSpace(StorageManager& archive);
  StorageSpace(const StorageSpace&) = delete;
  StorageSpace& operator=(const StorageSpace&) = delete;

  // The indexes made afresh from the directory, as after an open.
  void Rebuild();
  // Changes one record and, with as few steps as the change needs, the indexes. Logged in
  // `log` with its old value while a log is set.
  void SetRecord(uint32_t number, uint8_t type, uint32_t offset, uint32_t size);
  void Vacate(uint32_t number);
  void LogChanges(ChangeLog* log) { log_ = log; }
  bool SetEnd(uint64_t newEnd);
  // A vacant record number from 2 up, the directory grown by one when there is none.
  int32_t NewRecordNumber();
  void EnsureReservedRecords();
  // Drops vacant records at the end of the directory (never 0 and 1).
  void TrimDirectory();
  // The directory was emptied: nothing to index.
  void Clear();

  // Hints that a region of need bytes is looked for soon, that the neighbours of
  // [offset, offset + size) are, or that a resize of that region to need bytes follows.
  void PrefetchBestFit(uint32_t need) const;
  void PrefetchNeighbours(uint32_t offset, uint32_t size) const;
  void PrefetchForResize(uint32_t need, uint32_t offset, uint32_t size) const;
  // The least free region of need bytes or more (by size, offset, number) but exclude.
  bool FindBestFree(uint32_t need, uint32_t exclude, FreeRegion& found);
  // Start of a region of need bytes (best fit, else appended), or a negative code
  // (StorageManager::AllocateSpace).
  int64_t Allocate(uint32_t need, uint32_t exclude);
  // Returns a region to the free space, merged with its free neighbours; the archive
  // shrinks when it was the last (StorageManager::ReleaseSpace).
  bool Release(uint32_t offset, uint32_t size, uint32_t exclude);
  // The lowest-numbered region starting at offset: number is kNoRecord for a block in use
  // found without a number (the regions tile the archive, so what is not free is in use).
  int32_t FindRegionAt(uint32_t offset, uint32_t& number);

  // Whether the regions tiled [128, end) at open, for an operation that must be undone.
  std::pair<bool, bool> Tiling() const { return {tiled_, tilingKnown_}; }
  void RestoreTiling(std::pair<bool, bool> t) { std::tie(tiled_, tilingKnown_) = t; }

 private:
  void IndexRecord(uint32_t number);
  void LearnTiling();
  void TrimIfLast(uint32_t number);

  StorageManager& a_;
  NumberSet vacant_;
  FreeSpaceIndex free_;
  // Whether the regions tiled [128, end) when the archive was opened; worked out when it
  // is first needed, before the first change, so that an archive only read never sorts
  // its regions.
  bool tiled_ = false;
  bool tilingKnown_ = false;
  ChangeLog* log_ = nullptr;
};

}  // namespace tolvane
