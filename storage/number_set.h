// A set of record numbers as a bitmap with summary levels above it: a bit of level k+1 is
// set when word i of level k is not zero. Adding, removing and finding the lowest member
// at or above a number touch one word per level, whatever the set holds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tolvane {

class NumberSet {
 public:
  void Insert(uint32_t n);
  void Erase(uint32_t n);
  bool Contains(uint32_t n) const;
  // The lowest member at or above n.
  bool LowestFrom(uint32_t n, uint32_t& found) const;
  // Forgets every member; with release the memory is given back too.
  void Clear(bool release = false);
  size_t Count() const { return count_; }

 private:
  void Cover(uint32_t n);

  std::vector<std::vector<uint64_t>> levels_;  // levels_[0] holds the members' bits
  size_t count_ = 0;
};

}  // namespace tolvane
