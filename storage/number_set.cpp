#include "storage/number_set.h"

#include <algorithm>

namespace tolvane {

namespace {
inline uint32_t LowestBit(uint64_t word) { return static_cast<uint32_t>(__builtin_ctzll(word)); }
}  // namespace

// Grows the levels so that bit n exists; new words are zero, so the summaries stay true.
void NumberSet::Cover(uint32_t n) {
  size_t words = (static_cast<size_t>(n) >> 6) + 1;
  if (!levels_.empty() && levels_[0].size() >= words) return;
  if (!levels_.empty() && words < levels_[0].size() * 2) words = levels_[0].size() * 2;
  size_t level = 0;
  for (;;) {
    if (level == levels_.size()) levels_.emplace_back();
    if (levels_[level].size() < words) levels_[level].resize(words, 0);
    if (words == 1) break;
    words = (words + 63) >> 6;
    ++level;
  }
}

void NumberSet::Insert(uint32_t n) {
  if (levels_.empty() || (static_cast<size_t>(n) >> 6) >= levels_[0].size()) Cover(n);
  uint64_t& first = levels_[0][n >> 6];
  const uint64_t bit = uint64_t{1} << (n & 63);
  if (first & bit) return;
  ++count_;
  const bool wasEmpty = first == 0;
  first |= bit;
  // A summary bit changes only when its word stops being zero.
  uint64_t position = n >> 6;
  for (size_t level = 1; wasEmpty && level < levels_.size(); ++level, position >>= 6) {
    uint64_t& word = levels_[level][position >> 6];
    const bool empty = word == 0;
    word |= uint64_t{1} << (position & 63);
    if (!empty) break;
  }
}

void NumberSet::Erase(uint32_t n) {
  if (levels_.empty() || (static_cast<size_t>(n) >> 6) >= levels_[0].size()) return;
  uint64_t& first = levels_[0][n >> 6];
  const uint64_t bit = uint64_t{1} << (n & 63);
  if (!(first & bit)) return;
  --count_;
  first &= ~bit;
  uint64_t position = n >> 6;
  for (size_t level = 1; first == 0 && level < levels_.size(); ++level, position >>= 6) {
    uint64_t& word = levels_[level][position >> 6];
    word &= ~(uint64_t{1} << (position & 63));
    if (word != 0) break;
  }
}

bool NumberSet::Contains(uint32_t n) const {
  if (levels_.empty() || (static_cast<size_t>(n) >> 6) >= levels_[0].size()) return false;
  return (levels_[0][n >> 6] >> (n & 63)) & 1;
}

bool NumberSet::LowestFrom(uint32_t n, uint32_t& found) const {
  // Up: the first level whose word at or after the position holds a bit; a word with
  // nothing left stands for the next word below, one bit further on in the level above.
  uint64_t position = n;
  size_t level = 0;
  for (;; ++level) {
    if (level == levels_.size()) return false;
    const std::vector<uint64_t>& words = levels_[level];
    size_t w = static_cast<size_t>(position >> 6);
    if (w >= words.size()) return false;
    uint64_t bits = words[w] & (~uint64_t{0} << (position & 63));
    if (bits) {
      position = (static_cast<uint64_t>(w) << 6) + LowestBit(bits);
      break;
    }
    position = w + 1;
  }
  // Down: the lowest bit of each word the summary points at.
  while (level > 0) {
    --level;
    position = (position << 6) + LowestBit(levels_[level][static_cast<size_t>(position)]);
  }
  found = static_cast<uint32_t>(position);
  return true;
}

void NumberSet::Clear(bool release) {
  if (release) {
    std::vector<std::vector<uint64_t>>().swap(levels_);
  } else {
    for (auto& level : levels_) std::fill(level.begin(), level.end(), 0);
  }
  count_ = 0;
}

}  // namespace tolvane
