// Regions of the archive in offset order, for the walks that check how they lie.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace tolvane {

struct Region {
  uint32_t offset, number, size;
};

// By offset, equal offsets in the order given (that of their numbers): a radix sort in
// four passes of a byte, which an open of a large archive notices against a comparison sort.
inline void SortByOffset(std::vector<Region>& regions) {
  if (regions.size() < 256) {
    std::stable_sort(regions.begin(), regions.end(), [](const Region& a, const Region& b) { return a.offset < b.offset; });
    return;
  }
  std::vector<Region> other(regions.size());
  for (int shift = 0; shift < 32; shift += 8) {
    size_t start[257] = {};
    for (const Region& r : regions) ++start[((r.offset >> shift) & 0xFF) + 1];
    if (start[((regions[0].offset >> shift) & 0xFF) + 1] == regions.size()) continue;  // one value: nothing moves
    for (int i = 0; i < 256; ++i) start[i + 1] += start[i];
    for (const Region& r : regions) other[start[(r.offset >> shift) & 0xFF]++] = r;
    regions.swap(other);
  }
}

}  // namespace tolvane
