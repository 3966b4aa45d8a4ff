// The archive's free regions, indexed so that the allocator's questions take a few steps
// whatever the number of free regions:
//   - best fit: the smallest region of at least n bytes, on equal sizes the lowest offset,
//     on equal offsets the lowest record number (what a scan of the records in number
//     order keeping the first strictly better candidate would find). Regions of a multiple
//     of 16 bytes below 64 KiB are kept by exact size, each size a four-ary heap of 8-byte
//     keys (offset, number), with a bitmap of the sizes that hold any; all other regions
//     (large ones, and the odd sizes only a damaged archive has) share one ordered set;
//   - the free region starting at an offset, and the one ending at an offset (lowest
//     record number first), for merging a released region with its neighbours; these are
//     hashed, as only exact positions are asked for (several regions share a position
//     only in a damaged archive). Starts and ends share one table: a released region's
//     neighbours are asked for at the positions where its own start and end are recorded
//     next, so those find their place in the cache.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <set>
#include <tuple>
#include <utility>
#include <vector>

#include "storage/number_set.h"

namespace tolvane {

struct FreeRegion {
  uint32_t number = 0;  // record number in the directory
  uint32_t offset = 0;
  uint32_t size = 0;
};

// Positions to record numbers, several numbers per position allowed: open addressing with
// linear probing, so that a lookup usually touches one cache line. Positions are those of
// an archive, below 4 GiB; others are never held.
class PositionTable {
 public:
  void Insert(uint64_t position, uint32_t number);
  void Erase(uint64_t position, uint32_t number);
  // The lowest number at position other than exclude, among the numbers from low to high.
  bool Lowest(uint64_t position, uint32_t exclude, uint32_t& number, uint32_t low = 0,
              uint32_t high = 0xFFFFFFFEu) const;
  void Clear();
  size_t Count() const { return count_; }
  // Starts fetching the slot that a lookup of position reads first.
  void Prefetch(uint64_t position) const {
    if (!slots_.empty()) __builtin_prefetch(&slots_[Home(position)]);
  }

 private:
  static constexpr uint32_t kUnused = 0xFFFFFFFFu;  // a number no record has
  struct Slot {
    uint32_t position;
    uint32_t number;
  };
  size_t Home(uint64_t position) const {
    return static_cast<size_t>((position * 0x9E3779B97F4A7C15ull) >> 20) & (slots_.size() - 1);
  }
  void Grow();

  std::vector<Slot> slots_;  // size is a power of two, at most half used
  size_t count_ = 0;
};

class FreeSpaceIndex {
 public:
  // Record number moves from the free region old (null: it was none) to now (null: it is
  // none now); keys that stay the same are left alone.
  void Update(uint32_t number, const FreeRegion* old, const FreeRegion* now);
  void Clear();
  size_t Count() const { return count_; }
  bool Contains(const FreeRegion& r) const;

  // Best-fitting region for need bytes, not numbered exclude.
  bool BestFit(uint32_t need, uint32_t exclude, FreeRegion& found) const;
  // Number of the region starting at offset / ending at end, lowest number first.
  bool StartingAt(uint32_t offset, uint32_t exclude, uint32_t& number) const;
  bool EndingAt(uint64_t end, uint32_t exclude, uint32_t& number) const;
  // Starts fetching what StartingAt(end) and EndingAt(offset) read, so that the two
  // lookups of a released region's neighbours wait for memory once.
  void PrefetchNeighbours(uint64_t offset, uint64_t end) const {
    positions_.Prefetch(end);
    positions_.Prefetch(offset);
  }
  // What BestFit(need) looks at first, and what an update of region r touches: asked for
  // early, their fetches overlap with other work.
  void PrefetchBestFit(uint32_t need) const {
    const uint32_t c = need / kClassBytes + (need % kClassBytes != 0);
    if (c < kLargeClass && c < classes_.size() && !classes_[c].empty()) __builtin_prefetch(classes_[c].data());
  }
  void PrefetchSlot(uint32_t number) const {
    if (number < slotOf_.size()) __builtin_prefetch(&slotOf_[number]);
  }
  void PrefetchRegion(const FreeRegion& r) const {
    if (r.number < slotOf_.size()) __builtin_prefetch(&slotOf_[r.number]);
    positions_.Prefetch(r.offset);
    positions_.Prefetch(uint64_t{r.offset} + r.size);
  }

 private:
  static constexpr uint32_t kClassBytes = 16;
  static constexpr uint32_t kLargeClass = 4096;  // the ordered set's class
  static constexpr uint32_t kNowhere = 0xFFFFFFFFu;
  // Marks a region's end in positions_ (beside its number); record numbers stay far below.
  static constexpr uint32_t kEndsHere = 0x80000000u;
  // Four children a node: a region taken from a heap of thousands sifts through half the
  // levels of a binary heap, and the children to compare lie side by side in memory.
  static constexpr size_t kArity = 4;

  // A region in its size's heap: offset above number, so that one comparison orders them.
  using Key = uint64_t;
  using Heap = std::vector<Key>;
  static Key KeyOf(const FreeRegion& r) { return (Key{r.offset} << 32) | r.number; }
  static FreeRegion RegionOf(Key k, uint32_t c) {
    return FreeRegion{static_cast<uint32_t>(k), static_cast<uint32_t>(k >> 32), c * kClassBytes};
  }
  static uint32_t ClassOf(uint32_t size) {
    return size % kClassBytes == 0 && size / kClassBytes < kLargeClass ? size / kClassBytes : kLargeClass;
  }
  bool Insert(const FreeRegion& r);
  bool Remove(const FreeRegion& r);
  void Place(Heap& heap, size_t at, Key k);
  void SiftUp(Heap& heap, size_t at);
  void SiftDown(Heap& heap, size_t at);
  bool BestInHeap(uint32_t c, uint32_t exclude, FreeRegion& found) const;
  bool BestInLarge(uint32_t need, uint32_t exclude, FreeRegion& found) const;

  std::vector<Heap> classes_;      // kLargeClass heaps, made on first use
  std::vector<uint32_t> slotOf_;   // by record number: its place in its size's heap
  NumberSet occupied_;             // sizes (in 16 bytes) holding a region; kLargeClass for the set
  std::set<std::tuple<uint32_t, uint32_t, uint32_t>> large_;  // size, offset, number
  size_t count_ = 0;
  PositionTable positions_;  // a free region's number at its offset, and kEndsHere | number at its end
};

}  // namespace tolvane
