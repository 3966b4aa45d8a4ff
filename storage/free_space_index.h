// The archive's free regions, indexed so that the allocator's questions cost O(log n) in
// the number of free regions:
//   - best fit: the smallest region of at least n bytes, on equal sizes the lowest offset,
//     on equal offsets the lowest record number (what a scan of the records in number
//     order keeping the first strictly better candidate would find);
//   - the free region starting at an offset, and the one ending at an offset (lowest
//     record number first), for merging a released region with its neighbours.
#pragma once

#include <cstddef>
#include <cstdint>
#include <set>
#include <tuple>
#include <utility>

namespace tolvane {

struct FreeRegion {
  uint32_t number = 0;  // record number in the directory
  uint32_t offset = 0;
  uint32_t size = 0;
};

class FreeSpaceIndex {
 public:
  void Insert(const FreeRegion& r);
  void Erase(const FreeRegion& r);  // a region that is not indexed is ignored
  void Clear();
  size_t Count() const { return bySize_.size(); }
  bool Contains(const FreeRegion& r) const;

  // Best-fitting region for need bytes, not numbered exclude.
  bool BestFit(uint32_t need, uint32_t exclude, FreeRegion& found) const;
  // The region starting at offset / ending at end, lowest record number first.
  bool StartingAt(uint32_t offset, uint32_t exclude, FreeRegion& found) const;
  bool EndingAt(uint64_t end, uint32_t exclude, FreeRegion& found) const;

 private:
  std::set<std::tuple<uint32_t, uint32_t, uint32_t>> bySize_;  // size, offset, number
  std::set<std::tuple<uint32_t, uint32_t, uint32_t>> byOffset_;  // offset, number, size
  std::set<std::tuple<uint64_t, uint32_t, uint32_t>> byEnd_;     // end, number, offset
};

}  // namespace tolvane
