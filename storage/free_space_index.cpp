#include "storage/free_space_index.h"

namespace tolvane {

namespace {
uint64_t EndOf(const FreeRegion& r) { return static_cast<uint64_t>(r.offset) + r.size; }
}  // namespace

// --- PositionTable

void PositionTable::Grow() {
  std::vector<Slot> old;
  old.swap(slots_);
  slots_.assign(old.empty() ? 64 : old.size() * 2, Slot{0, kUnused});
  count_ = 0;
  for (const Slot& s : old) {
    if (s.number != kUnused) Insert(s.position, s.number);
  }
}

void PositionTable::Insert(uint64_t position, uint32_t number) {
  if (position > 0xFFFFFFFFu || number == kUnused) return;
  if ((count_ + 1) * 2 > slots_.size()) Grow();
  size_t mask = slots_.size() - 1;
  size_t i = Home(position);
  while (slots_[i].number != kUnused) i = (i + 1) & mask;
  slots_[i] = Slot{static_cast<uint32_t>(position), number};
  ++count_;
}

void PositionTable::Erase(uint64_t position, uint32_t number) {
  if (slots_.empty() || position > 0xFFFFFFFFu) return;
  size_t mask = slots_.size() - 1;
  size_t i = Home(position);
  while (slots_[i].number != kUnused && !(slots_[i].position == position && slots_[i].number == number))
    i = (i + 1) & mask;
  if (slots_[i].number == kUnused) return;
  // Backward-shift deletion: later slots of the run move up if that keeps them reachable.
  slots_[i].number = kUnused;
  --count_;
  for (size_t j = (i + 1) & mask; slots_[j].number != kUnused; j = (j + 1) & mask) {
    size_t home = Home(slots_[j].position);
    bool reachable = i <= j ? (home <= i || home > j) : (home <= i && home > j);
    if (reachable) {
      slots_[i] = slots_[j];
      slots_[j].number = kUnused;
      i = j;
    }
  }
}

bool PositionTable::Lowest(uint64_t position, uint32_t exclude, uint32_t& number, uint32_t low,
                           uint32_t high) const {
  if (slots_.empty() || position > 0xFFFFFFFFu) return false;
  size_t mask = slots_.size() - 1;
  bool any = false;
  for (size_t i = Home(position); slots_[i].number != kUnused; i = (i + 1) & mask) {
    const Slot& s = slots_[i];
    if (s.position != position || s.number == exclude || s.number < low || s.number > high ||
        (any && s.number > number))
      continue;
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

namespace {
constexpr uint32_t kInLarge = 0xFFFFFFFEu;  // slot of a region kept in the ordered set

bool Less(const FreeRegion& a, const FreeRegion& b) {
  if (a.size != b.size) return a.size < b.size;
  if (a.offset != b.offset) return a.offset < b.offset;
  return a.number < b.number;
}
}  // namespace

void FreeSpaceIndex::Place(Heap& heap, size_t at, Key k) {
  heap[at] = k;
  slotOf_[static_cast<uint32_t>(k)] = static_cast<uint32_t>(at);
}

void FreeSpaceIndex::SiftUp(Heap& heap, size_t at) {
  const Key k = heap[at];
  while (at > 0) {
    size_t parent = (at - 1) / kArity;
    if (k >= heap[parent]) break;
    Place(heap, at, heap[parent]);
    at = parent;
  }
  Place(heap, at, k);
}

void FreeSpaceIndex::SiftDown(Heap& heap, size_t at) {
  const Key k = heap[at];
  const size_t n = heap.size();
  for (;;) {
    const size_t first = kArity * at + 1;
    if (first >= n) break;
    size_t child = first;
    for (size_t c = first + 1; c < first + kArity && c < n; ++c) {
      if (heap[c] < heap[child]) child = c;
    }
    if (heap[child] >= k) break;
    Place(heap, at, heap[child]);
    at = child;
  }
  Place(heap, at, k);
}

// A number is in at most one region; a second one for it is not taken.
bool FreeSpaceIndex::Insert(const FreeRegion& r) {
  if (r.number >= slotOf_.size()) slotOf_.resize(std::max<size_t>(r.number + 1, slotOf_.size() * 2), kNowhere);
  if (slotOf_[r.number] != kNowhere) return false;
  const uint32_t c = ClassOf(r.size);
  if (c == kLargeClass) {
    large_.emplace(r.size, r.offset, r.number);
    slotOf_[r.number] = kInLarge;
    if (large_.size() == 1) occupied_.Insert(c);
  } else {
    if (classes_.empty()) classes_.resize(kLargeClass);
    Heap& heap = classes_[c];
    heap.push_back(KeyOf(r));
    SiftUp(heap, heap.size() - 1);
    if (heap.size() == 1) occupied_.Insert(c);
  }
  ++count_;
  return true;
}

bool FreeSpaceIndex::Remove(const FreeRegion& r) {
  if (r.number >= slotOf_.size()) return false;
  const uint32_t slot = slotOf_[r.number];
  const uint32_t c = ClassOf(r.size);
  if (c == kLargeClass) {
    if (slot != kInLarge || !large_.erase(std::make_tuple(r.size, r.offset, r.number))) return false;
    if (large_.empty()) occupied_.Erase(c);
  } else {
    if (slot == kNowhere || slot == kInLarge || classes_.empty()) return false;
    Heap& heap = classes_[c];
    if (slot >= heap.size() || heap[slot] != KeyOf(r)) return false;
    const Key last = heap.back();
    heap.pop_back();
    if (slot < heap.size()) {
      Place(heap, slot, last);
      if (slot > 0 && last < heap[(slot - 1) / kArity]) {
        SiftUp(heap, slot);
      } else {
        SiftDown(heap, slot);
      }
    }
    if (heap.empty()) occupied_.Erase(c);
  }
  slotOf_[r.number] = kNowhere;
  --count_;
  return true;
}

void FreeSpaceIndex::Update(uint32_t number, const FreeRegion* old, const FreeRegion* now) {
  // No directory holds that many records (10 bytes each, in an archive below 4 GiB).
  if (number >= kEndsHere) return;
  // The slots below lie far apart: asking for all of them first lets their fetches overlap.
  if (number < slotOf_.size()) __builtin_prefetch(&slotOf_[number]);
  if (old) positions_.Prefetch(old->offset), positions_.Prefetch(EndOf(*old));
  if (now) positions_.Prefetch(now->offset), positions_.Prefetch(EndOf(*now));
  bool wasIn = old && Remove(FreeRegion{number, old->offset, old->size});
  if (now) Insert(FreeRegion{number, now->offset, now->size});
  bool sameStart = wasIn && now && old->offset == now->offset;
  bool sameEnd = wasIn && now && EndOf(*old) == EndOf(*now);
  if (wasIn && !sameStart) positions_.Erase(old->offset, number);
  if (now && !sameStart) positions_.Insert(now->offset, number);
  if (wasIn && !sameEnd) positions_.Erase(EndOf(*old), number | kEndsHere);
  if (now && !sameEnd) positions_.Insert(EndOf(*now), number | kEndsHere);
}

void FreeSpaceIndex::Clear() {
  std::vector<Heap>().swap(classes_);
  std::vector<uint32_t>().swap(slotOf_);
  occupied_.Clear(true);
  large_.clear();
  count_ = 0;
  positions_.Clear();
}

bool FreeSpaceIndex::Contains(const FreeRegion& r) const {
  if (r.number >= slotOf_.size()) return false;
  const uint32_t slot = slotOf_[r.number];
  if (ClassOf(r.size) == kLargeClass) return slot == kInLarge && large_.count(std::make_tuple(r.size, r.offset, r.number));
  if (slot == kNowhere || slot == kInLarge) return false;
  const Heap& heap = classes_[ClassOf(r.size)];
  return slot < heap.size() && heap[slot] == KeyOf(r);
}

// The least region of size c * 16 but exclude: the root, or when that is excluded the
// least of its children (no other region is less than all of them).
bool FreeSpaceIndex::BestInHeap(uint32_t c, uint32_t exclude, FreeRegion& found) const {
  const Heap& heap = classes_[c];
  if (heap.empty()) return false;
  size_t best = 0;
  if (static_cast<uint32_t>(heap[0]) == exclude) {
    if (heap.size() == 1) return false;
    best = 1;
    for (size_t child = 2; child <= kArity && child < heap.size(); ++child) {
      if (heap[child] < heap[best]) best = child;
    }
  }
  found = RegionOf(heap[best], c);
  return true;
}

// The least region of the ordered set of need bytes or more but exclude.
bool FreeSpaceIndex::BestInLarge(uint32_t need, uint32_t exclude, FreeRegion& found) const {
  for (auto it = large_.lower_bound(std::make_tuple(need, 0u, 0u)); it != large_.end(); ++it) {
    if (std::get<2>(*it) == exclude) continue;
    found = FreeRegion{std::get<2>(*it), std::get<1>(*it), std::get<0>(*it)};
    return true;
  }
  return false;
}

bool FreeSpaceIndex::BestFit(uint32_t need, uint32_t exclude, FreeRegion& found) const {
  // The first size from need up with a region that is not excluded; the ordered set may
  // still hold a smaller one (an odd size).
  uint32_t from = std::min(need / kClassBytes + (need % kClassBytes != 0), kLargeClass);
  for (uint32_t c = from;; c = from) {
    // Most often need's own size has a region: the bitmap is not asked then.
    const bool here = c < classes_.size() && !classes_[c].empty();
    if (!here && !occupied_.LowestFrom(from, c)) return false;
    if (c == kLargeClass) return BestInLarge(need, exclude, found);
    from = c + 1;
    if (!BestInHeap(c, exclude, found)) continue;
    FreeRegion odd;
    if (!large_.empty() && std::get<0>(*large_.begin()) < found.size && BestInLarge(need, exclude, odd) &&
        Less(odd, found))
      found = odd;
    return true;
  }
}

bool FreeSpaceIndex::StartingAt(uint32_t offset, uint32_t exclude, uint32_t& number) const {
  return positions_.Lowest(offset, exclude, number, 0, kEndsHere - 1);
}

bool FreeSpaceIndex::EndingAt(uint64_t end, uint32_t exclude, uint32_t& number) const {
  if (!positions_.Lowest(end, exclude | kEndsHere, number, kEndsHere)) return false;
  number &= ~kEndsHere;
  return true;
}

}  // namespace tolvane
