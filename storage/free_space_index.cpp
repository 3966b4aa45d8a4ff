#include "storage/free_space_index.h"

namespace tolvane {

namespace {
uint64_t EndOf(const FreeRegion& r) { return static_cast<uint64_t>(r.offset) + r.size; }
}  // namespace

// --- PositionTable

size_t PositionTable::Home(uint64_t position) const {
  return static_cast<size_t>((position * 0x9E3779B97F4A7C15ull) >> 20) & (slots_.size() - 1);
}

void PositionTable::Grow() {
  std::vector<Slot> old;
  old.swap(slots_);
  slots_.assign(old.empty() ? 64 : old.size() * 2, Slot{0, 0, false});
  count_ = 0;
  for (const Slot& s : old) {
    if (s.used) Insert(s.position, s.number);
  }
}

void PositionTable::Insert(uint64_t position, uint32_t number) {
  if ((count_ + 1) * 2 > slots_.size()) Grow();
  size_t mask = slots_.size() - 1;
  size_t i = Home(position);
  while (slots_[i].used) i = (i + 1) & mask;
  slots_[i] = Slot{position, number, true};
  ++count_;
}

void PositionTable::Erase(uint64_t position, uint32_t number) {
  if (slots_.empty()) return;
  size_t mask = slots_.size() - 1;
  size_t i = Home(position);
  while (slots_[i].used && !(slots_[i].position == position && slots_[i].number == number)) i = (i + 1) & mask;
  if (!slots_[i].used) return;
  // Backward-shift deletion: later slots of the run move up if that keeps them reachable.
  slots_[i].used = false;
  --count_;
  for (size_t j = (i + 1) & mask; slots_[j].used; j = (j + 1) & mask) {
    size_t home = Home(slots_[j].position);
    bool reachable = i <= j ? (home <= i || home > j) : (home <= i && home > j);
    if (reachable) {
      slots_[i] = slots_[j];
      slots_[j].used = false;
      i = j;
    }
  }
}

bool PositionTable::Lowest(uint64_t position, uint32_t exclude, uint32_t& number) const {
  if (slots_.empty()) return false;
  size_t mask = slots_.size() - 1;
  bool any = false;
  for (size_t i = Home(position); slots_[i].used; i = (i + 1) & mask) {
    const Slot& s = slots_[i];
    if (s.position != position || s.number == exclude || (any && s.number > number)) continue;
    number = s.number;
    any = true;
  }
  return any;
}

void PositionTable::Clear() {
  slots_.clear();
  count_ = 0;
}

// --- FreeSpaceIndex

void FreeSpaceIndex::Update(uint32_t number, const FreeRegion* old, const FreeRegion* now) {
  bool wasIn = old && bySize_.erase(std::make_tuple(old->size, old->offset, number)) != 0;
  if (now) bySize_.emplace(now->size, now->offset, number);
  bool sameStart = wasIn && now && old->offset == now->offset;
  bool sameEnd = wasIn && now && EndOf(*old) == EndOf(*now);
  if (wasIn && !sameStart) byOffset_.Erase(old->offset, number);
  if (now && !sameStart) byOffset_.Insert(now->offset, number);
  if (wasIn && !sameEnd) byEnd_.Erase(EndOf(*old), number);
  if (now && !sameEnd) byEnd_.Insert(EndOf(*now), number);
}

void FreeSpaceIndex::Clear() {
  bySize_.clear();
  byOffset_.Clear();
  byEnd_.Clear();
}

bool FreeSpaceIndex::Contains(const FreeRegion& r) const {
  return bySize_.count(std::make_tuple(r.size, r.offset, r.number)) != 0;
}

bool FreeSpaceIndex::BestFit(uint32_t need, uint32_t exclude, FreeRegion& found) const {
  for (auto it = bySize_.lower_bound(std::make_tuple(need, 0u, 0u)); it != bySize_.end(); ++it) {
    if (std::get<2>(*it) == exclude) continue;
    found = FreeRegion{std::get<2>(*it), std::get<1>(*it), std::get<0>(*it)};
    return true;
  }
  return false;
}

bool FreeSpaceIndex::StartingAt(uint32_t offset, uint32_t exclude, uint32_t& number) const {
  return byOffset_.Lowest(offset, exclude, number);
}

bool FreeSpaceIndex::EndingAt(uint64_t end, uint32_t exclude, uint32_t& number) const {
  return byEnd_.Lowest(end, exclude, number);
}

}  // namespace tolvane
