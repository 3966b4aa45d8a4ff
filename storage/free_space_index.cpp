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
constexpr uint32_t kInLarge = 0xFFFFFFFEu;  // slot of a region kept in the large class

bool Less(const FreeRegion& a, const FreeRegion& b) {
  if (a.size != b.size) return a.size < b.size;
  if (a.offset != b.offset) return a.offset < b.offset;
  return a.number < b.number;
}

bool Same(const FreeRegion& a, const FreeRegion& b) {
  return a.number == b.number && a.offset == b.offset && a.size == b.size;
}
}  // namespace

void FreeSpaceIndex::Place(Heap& heap, size_t at, const FreeRegion& r) {
  heap[at] = r;
  slotOf_[r.number] = static_cast<uint32_t>(at);
}

void FreeSpaceIndex::SiftUp(Heap& heap, size_t at) {
  const FreeRegion r = heap[at];
  while (at > 0) {
    size_t parent = (at - 1) / kArity;
    if (!Less(r, heap[parent])) break;
    Place(heap, at, heap[parent]);
    at = parent;
  }
  Place(heap, at, r);
}

void FreeSpaceIndex::SiftDown(Heap& heap, size_t at) {
  const FreeRegion r = heap[at];
  const size_t n = heap.size();
  for (;;) {
    const size_t first = kArity * at + 1;
    if (first >= n) break;
    size_t child = first;
    for (size_t c = first + 1; c < first + kArity && c < n; ++c) {
      if (Less(heap[c], heap[child])) child = c;
    }
    if (!Less(heap[child], r)) break;
    Place(heap, at, heap[child]);
    at = child;
  }
  Place(heap, at, r);
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
    heap.push_back(r);
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
    if (slot >= heap.size() || !Same(heap[slot], r)) return false;
    const FreeRegion last = heap.back();
    heap.pop_back();
    if (slot < heap.size()) {
      Place(heap, slot, last);
      SiftUp(heap, slot);
      SiftDown(heap, slotOf_[last.number]);
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
  return slot < heap.size() && Same(heap[slot], r);
}

// The least region of the heap that is large enough and not excluded. A heap's children are
// never less than their parent, so a subtree is entered only below a region that does not
// qualify; in a class of one size that is the root alone, or the root and its children.
bool FreeSpaceIndex::BestInHeap(const Heap& heap, uint32_t need, uint32_t exclude, FreeRegion& found) const {
  if (heap.empty()) return false;
  if (heap[0].size >= need && heap[0].number != exclude) {
    found = heap[0];
    return true;
  }
  bool any = false;
  pending_.clear();
  pending_.push_back(0);
  while (!pending_.empty()) {
    size_t at = pending_.back();
    pending_.pop_back();
    const FreeRegion& r = heap[at];
    if (any && !Less(r, found)) continue;
    if (r.size >= need && r.number != exclude) {
      found = r;
      any = true;
      continue;
    }
    for (size_t child = kArity * at + 1; child <= kArity * at + kArity && child < heap.size(); ++child) {
      pending_.push_back(static_cast<uint32_t>(child));
    }
  }
  return any;
}

bool FreeSpaceIndex::BestFit(uint32_t need, uint32_t exclude, FreeRegion& found) const {
  // In need's own class a region may still be too small; every later class is large
  // enough throughout, and its least region is the answer unless it is excluded.
  uint32_t from = ClassOf(need);
  if (from < kLargeClass && !classes_.empty()) {
    if (BestInHeap(classes_[from], need, exclude, found)) return true;
    ++from;
  }
  for (uint32_t c = 0; occupied_.LowestFrom(from, c); from = c + 1) {
    if (c == kLargeClass) {
      for (auto it = large_.lower_bound(std::make_tuple(need, 0u, 0u)); it != large_.end(); ++it) {
        if (std::get<2>(*it) == exclude) continue;
        found = FreeRegion{std::get<2>(*it), std::get<1>(*it), std::get<0>(*it)};
        return true;
      }
      return false;
    }
    if (BestInHeap(classes_[c], need, exclude, found)) return true;
  }
  return false;
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
