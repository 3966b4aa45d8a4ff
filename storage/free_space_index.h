// The archive's free regions, indexed so that the allocator's questions cost O(log n) in
// the number of free regions:
//   - best fit: the smallest region of at least n bytes, on equal sizes the lowest offset,
//     on equal offsets the lowest record number (what a scan of the records in number
//     order keeping the first strictly better candidate would find);
//   - the free region starting at an offset, and the one ending at an offset (lowest
//     record number first), for merging a released region with its neighbours; these are
//     hashed, as only exact positions are asked for (several regions share a position
//     only in a damaged archive).
#pragma once

#include <cstddef>
#include <cstdint>
#include <set>
#include <tuple>
#include <utility>
#include <vector>

namespace tolvane {

struct FreeRegion {
  uint32_t number = 0;  // record number in the directory
  uint32_t offset = 0;
  uint32_t size = 0;
};

// Positions to record numbers, several numbers per position allowed: open addressing with
// linear probing, so that a lookup usually touches one cache line.
class PositionTable {
 public:
  void Insert(uint64_t position, uint32_t number);
  void Erase(uint64_t position, uint32_t number);
  // The lowest number at position other than exclude.
  bool Lowest(uint64_t position, uint32_t exclude, uint32_t& number) const;
  void Clear();
  size_t Count() const { return count_; }

 private:
  struct Slot {
    uint64_t position;
    uint32_t number;
    bool used;
  };
  size_t Home(uint64_t position) const;
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
  size_t Count() const { return bySize_.size(); }
  bool Contains(const FreeRegion& r) const;

  // Best-fitting region for need bytes, not numbered exclude.
  bool BestFit(uint32_t need, uint32_t exclude, FreeRegion& found) const;
  // Number of the region starting at offset / ending at end, lowest number first.
  bool StartingAt(uint32_t offset, uint32_t exclude, uint32_t& number) const;
  bool EndingAt(uint64_t end, uint32_t exclude, uint32_t& number) const;

 private:
  std::set<std::tuple<uint32_t, uint32_t, uint32_t>> bySize_;  // size, offset, number
  PositionTable byOffset_;
  PositionTable byEnd_;
};

}  // namespace tolvane
