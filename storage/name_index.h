// The names of a folder: a flat open-addressed table (hash → record) over an arena that
// holds each record's value, hash and name bytes side by side, so that a lookup touches a
// slot and one record. The byte order of the names, which lists and listings need, is made
// only when the index is walked: names added in ascending order (a list being loaded) keep
// it as they come; other additions and removals are merged in at the next walk.
//
// It reads like the ordered map it replaces: find, count, at, operator[], emplace, erase,
// and iteration in unsigned byte order of the names, yielding {first, second} items whose
// first is a NameRef. Unlike a map, adding a name may move the values: references and
// iterators stay valid until the next name is added, and removing a name keeps the others'.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <new>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

namespace tolvane {

// A name's bytes inside an index; valid while the index holds the name and takes no new one.
class NameRef {
 public:
  NameRef(const char* data, size_t size) : data_(data), size_(size) {}
  const char* data() const { return data_; }
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  const char* begin() const { return data_; }
  const char* end() const { return data_ + size_; }
  char operator[](size_t i) const { return data_[i]; }
  std::string_view view() const { return {data_, size_}; }
  operator std::string_view() const { return view(); }
  operator std::string() const { return std::string(data_, size_); }

  friend bool operator==(NameRef a, std::string_view b) { return a.view() == b; }
  friend bool operator==(std::string_view a, NameRef b) { return a == b.view(); }
  friend bool operator!=(NameRef a, std::string_view b) { return a.view() != b; }
  friend bool operator!=(std::string_view a, NameRef b) { return a != b.view(); }
  friend bool operator<(NameRef a, NameRef b) { return a.view() < b.view(); }
  friend std::ostream& operator<<(std::ostream& out, NameRef n) { return out << n.view(); }
  // Callers build paths from names as they did from strings.
  friend std::string operator+(std::string a, NameRef b) { return a.append(b.data_, b.size_); }
  friend std::string operator+(NameRef a, const std::string& b) { return std::string(a).append(b); }

 private:
  const char* data_;
  size_t size_;
};

// A keyed hash of a name. The key is chosen once per process, so that a crafted archive
// cannot count on names that collide.
struct NameHash {
  uint32_t operator()(std::string_view name) const;
};

template <typename V, typename Hash = NameHash>
class NameIndex {
  static_assert(std::is_trivially_copyable<V>::value, "values are moved as bytes");

  // A record in the arena: this head, then the name's bytes, padded to kAlign.
  struct Head {
    V value;
    uint32_t hash;
    uint32_t length;  // bit 31: the name was removed
  };
  static constexpr size_t kAlign = alignof(Head) < 8 ? 8 : alignof(Head);
  static constexpr uint32_t kRemoved = 0x80000000u;
  static constexpr uint32_t kEmpty = 0xFFFFFFFFu;
  static constexpr uint32_t kNone = 0xFFFFFFFFu;

  struct Slot {
    uint32_t hash;
    uint32_t record = kEmpty;  // arena offset / kAlign
  };

 public:
  template <bool Const>
  class Iterator;
  using iterator = Iterator<false>;
  using const_iterator = Iterator<true>;
  using size_type = size_t;

  template <bool Const>
  struct Item {
    NameRef first;
    std::conditional_t<Const, const V&, V&> second;
  };

  // Walks the names in byte order. It keeps the item it yields, so a reference to *it
  // lives as long as the iterator and until it moves.
  template <bool Const>
  class Iterator {
    using Owner = std::conditional_t<Const, const NameIndex, NameIndex>;

   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = Item<Const>;
    using difference_type = std::ptrdiff_t;
    using pointer = Item<Const>*;
    using reference = Item<Const>&;

    Iterator() = default;
    Iterator(const Iterator& o) : owner_(o.owner_), record_(o.record_), place_(o.place_), walk_(o.walk_) {}
    Iterator& operator=(const Iterator& o) {
      owner_ = o.owner_;
      record_ = o.record_;
      place_ = o.place_;
      walk_ = o.walk_;
      item_.reset();
      return *this;
    }
    template <bool Other, typename = std::enable_if_t<Const && !Other>>
    Iterator(const Iterator<Other>& o) : owner_(o.owner_), record_(o.record_), place_(o.place_), walk_(o.walk_) {}
    Item<Const>& operator*() const {
      item_.reset();
      item_.emplace(Item<Const>{owner_->NameOf(record_), owner_->HeadOf(record_).value});
      return *item_;
    }
    Item<Const>* operator->() const { return &**this; }
    Iterator& operator++() {
      place_ = owner_->NextPlace(record_, place_, walk_);
      walk_ = owner_->walk_;
      record_ = place_ < owner_->order_.size() ? owner_->order_[place_] : kNone;
      item_.reset();
      return *this;
    }
    Iterator operator++(int) {
      Iterator before = *this;
      ++*this;
      return before;
    }
    friend bool operator==(const Iterator& a, const Iterator& b) { return a.record_ == b.record_; }
    friend bool operator!=(const Iterator& a, const Iterator& b) { return a.record_ != b.record_; }

   private:
    friend class NameIndex;
    template <bool>
    friend class Iterator;
    Iterator(Owner* owner, uint32_t record, size_t place, uint64_t walk)
        : owner_(owner), record_(record), place_(place), walk_(walk) {}

    Owner* owner_ = nullptr;
    uint32_t record_ = kNone;
    size_t place_ = 0;   // position in the owner's order, when walk_ is the owner's walk
    uint64_t walk_ = 0;  // the owner's walk this place belongs to; 0 when found by name
    mutable std::optional<Item<Const>> item_;
  };

  NameIndex() = default;
  NameIndex(const NameIndex& other) { *this = other; }
  NameIndex& operator=(const NameIndex& other) {
    if (this == &other) return *this;
    clear();
    for (const auto& e : other) emplace(e.first, e.second);
    return *this;
  }
  NameIndex(NameIndex&& other) noexcept { Take(other); }
  NameIndex& operator=(NameIndex&& other) noexcept {
    if (this != &other) Take(other);
    return *this;
  }

  size_t size() const { return count_; }
  bool empty() const { return count_ == 0; }

  iterator begin() { return Start<false>(this); }
  iterator end() { return iterator(this, kNone, 0, 0); }
  const_iterator begin() const { return Start<true>(this); }
  const_iterator end() const { return const_iterator(this, kNone, 0, 0); }

  iterator find(std::string_view name) { return iterator(this, LookupName(name), 0, 0); }
  const_iterator find(std::string_view name) const {
    return const_iterator(this, LookupName(name), 0, 0);
  }
  size_t count(std::string_view name) const { return LookupName(name) == kNone ? 0 : 1; }
  V& at(std::string_view name) { return HeadOf(Found(name)).value; }
  const V& at(std::string_view name) const { return HeadOf(Found(name)).value; }
  V& operator[](std::string_view name) { return HeadOf(Add(name, V{}).first).value; }

  // Adds the name with value unless it is there; the item and whether it was added.
  std::pair<iterator, bool> emplace(std::string_view name, const V& value) {
    auto added = Add(name, value);
    return {iterator(this, added.first, 0, 0), added.second};
  }
  // Adds the name or replaces its value.
  void insert_or_assign(std::string_view name, const V& value) {
    auto added = Add(name, value);
    if (!added.second) HeadOf(added.first).value = value;
  }

  size_t erase(std::string_view name) {
    uint32_t record = LookupName(name);
    if (record == kNone) return 0;
    Remove(record);
    return 1;
  }
  void erase(const_iterator it) {
    if (it.record_ != kNone) Remove(it.record_);
  }
  void erase(iterator it) {
    if (it.record_ != kNone) Remove(it.record_);
  }

  // Room for that many more names of nameBytes bytes in all, added without moving anything.
  void reserve(size_t names, size_t nameBytes) {
    size_t slots = slots_.empty() ? 16 : slots_.size();
    while ((count_ + names) * 2 > slots) slots *= 2;
    if (slots != slots_.size()) Rehash(slots);
    size_t need = used_ + names * Padded(0) + nameBytes + names * kAlign;
    if (need > arena_.size()) arena_.resize(need);
    order_.reserve(order_.size() + names);
  }

  // Forgets every name and gives the memory back.
  void clear() { *this = NameIndex(); }

 private:
  // Moves other's names here and leaves it empty.
  void Take(NameIndex& other) noexcept {
    slots_ = std::move(other.slots_);
    arena_ = std::move(other.arena_);
    order_ = std::move(other.order_);
    pending_ = std::move(other.pending_);
    used_ = std::exchange(other.used_, 0);
    count_ = std::exchange(other.count_, 0);
    removedBytes_ = std::exchange(other.removedBytes_, 0);
    unmerged_ = std::exchange(other.unmerged_, false);
    walk_ = other.walk_ + 1;
    other.slots_.clear();
    other.arena_.clear();
    other.order_.clear();
    other.pending_.clear();
  }

  static size_t Padded(size_t length) { return (sizeof(Head) + length + kAlign - 1) / kAlign * kAlign; }

  Head& HeadOf(uint32_t record) { return *reinterpret_cast<Head*>(arena_.data() + size_t{record} * kAlign); }
  const Head& HeadOf(uint32_t record) const {
    return *reinterpret_cast<const Head*>(arena_.data() + size_t{record} * kAlign);
  }
  bool Removed(uint32_t record) const { return HeadOf(record).length & kRemoved; }
  std::string_view ViewOf(uint32_t record) const {
    const Head& h = HeadOf(record);
    return {reinterpret_cast<const char*>(&h + 1), h.length & ~kRemoved};
  }
  NameRef NameOf(uint32_t record) const {
    std::string_view v = ViewOf(record);
    return NameRef(v.data(), v.size());
  }
  size_t Home(uint32_t hash) const { return hash & (slots_.size() - 1); }

  uint32_t Lookup(std::string_view name, uint32_t hash) const {
    if (slots_.empty()) return kNone;
    const size_t mask = slots_.size() - 1;
    for (size_t i = Home(hash);; i = (i + 1) & mask) {
      const Slot& s = slots_[i];
      if (s.record == kEmpty) return kNone;
      if (s.hash == hash && ViewOf(s.record) == name) return s.record;
    }
  }

  uint32_t LookupName(std::string_view name) const { return count_ == 0 ? kNone : Lookup(name, Hash()(name)); }

  uint32_t Found(std::string_view name) const {
    uint32_t record = LookupName(name);
    if (record == kNone) std::__throw_out_of_range("no such name");  // thrown as libstdc++'s containers throw
    return record;
  }

  void PutSlot(uint32_t hash, uint32_t record) {
    const size_t mask = slots_.size() - 1;
    size_t i = Home(hash);
    while (slots_[i].record != kEmpty) i = (i + 1) & mask;
    slots_[i] = Slot{hash, record};
  }

  // The table at most half full.
  void Rehash(size_t capacity) {
    std::vector<Slot> fresh(capacity);
    slots_.swap(fresh);
    for (const Slot& s : fresh) {
      if (s.record != kEmpty) PutSlot(s.hash, s.record);
    }
  }

  std::pair<uint32_t, bool> Add(std::string_view name, const V& value) {
    const uint32_t hash = Hash()(name);
    if ((count_ + 1) * 2 > slots_.size()) Rehash(slots_.empty() ? 16 : slots_.size() * 2);
    const size_t mask = slots_.size() - 1;
    size_t i = Home(hash);
    for (; slots_[i].record != kEmpty; i = (i + 1) & mask) {
      if (slots_[i].hash == hash && ViewOf(slots_[i].record) == name) return {slots_[i].record, false};
    }
    if (name.size() >= kRemoved) std::__throw_length_error("name too long");
    const size_t bytes = Padded(name.size());
    if ((used_ + bytes) / kAlign >= kEmpty) std::__throw_length_error("index full");
    const bool compact = removedBytes_ > 4096 && removedBytes_ * 2 > used_;
    if (compact) Compact();
    if (used_ + bytes > arena_.size()) arena_.resize(std::max({used_ + bytes, arena_.size() * 2, size_t{256}}));
    // Ordered additions keep the order as it is; others wait for the next walk.
    const bool inOrder = pending_.empty() && (order_.empty() || ViewOf(order_.back()) < name);
    std::vector<uint32_t>& list = inOrder ? order_ : pending_;
    if (list.size() == list.capacity()) list.reserve(list.size() * 2 + 8);
    const uint32_t record = static_cast<uint32_t>(used_ / kAlign);
    Head* h = new (arena_.data() + used_) Head{value, hash, static_cast<uint32_t>(name.size())};
    if (!name.empty()) std::memcpy(h + 1, name.data(), name.size());
    used_ += bytes;
    if (compact) {
      PutSlot(hash, record);  // the slots were laid out afresh
    } else {
      slots_[i] = Slot{hash, record};
    }
    list.push_back(record);
    ++count_;
    return {record, true};
  }


  // Linear probing without markers: the slots after a removed one move up when their home
  // allows it, so every name stays reachable from its home.
  void Remove(uint32_t record) {
    Head& h = HeadOf(record);
    const size_t mask = slots_.size() - 1;
    size_t i = Home(h.hash);
    while (slots_[i].record != record) i = (i + 1) & mask;
    slots_[i].record = kEmpty;
    for (size_t j = (i + 1) & mask; slots_[j].record != kEmpty; j = (j + 1) & mask) {
      size_t home = Home(slots_[j].hash);
      bool movable = i <= j ? (home <= i || home > j) : (home <= i && home > j);
      if (movable) {
        slots_[i] = slots_[j];
        slots_[j].record = kEmpty;
        i = j;
      }
    }
    removedBytes_ += Padded(h.length);
    h.length |= kRemoved;
    --count_;
    unmerged_ = true;
  }

  // Copies the live records into a fresh arena, the ordered ones first and in order.
  void Compact() {
    std::vector<unsigned char> fresh(used_ - removedBytes_);
    size_t filled = 0;
    auto move = [&](std::vector<uint32_t>& records) {
      size_t kept = 0;
      for (uint32_t r : records) {
        if (Removed(r)) continue;
        size_t bytes = Padded(HeadOf(r).length);
        std::memcpy(fresh.data() + filled, arena_.data() + size_t{r} * kAlign, bytes);
        records[kept++] = static_cast<uint32_t>(filled / kAlign);
        filled += bytes;
      }
      records.resize(kept);
    };
    move(order_);
    move(pending_);
    arena_.swap(fresh);
    used_ = filled;
    removedBytes_ = 0;
    unmerged_ = !pending_.empty();
    std::fill(slots_.begin(), slots_.end(), Slot{});
    for (uint32_t r : order_) PutSlot(HeadOf(r).hash, r);
    for (uint32_t r : pending_) PutSlot(HeadOf(r).hash, r);
    ++walk_;
  }

  // Brings order_ up to date: the waiting names sorted and merged in, removed ones left out.
  void Merge() const {
    if (!unmerged_ && pending_.empty()) return;
    auto byName = [this](uint32_t a, uint32_t b) { return ViewOf(a) < ViewOf(b); };
    auto removed = [this](uint32_t r) { return Removed(r); };
    pending_.erase(std::remove_if(pending_.begin(), pending_.end(), removed), pending_.end());
    order_.erase(std::remove_if(order_.begin(), order_.end(), removed), order_.end());
    std::sort(pending_.begin(), pending_.end(), byName);
    size_t middle = order_.size();
    order_.insert(order_.end(), pending_.begin(), pending_.end());
    std::inplace_merge(order_.begin(), order_.begin() + static_cast<std::ptrdiff_t>(middle), order_.end(), byName);
    pending_.clear();
    unmerged_ = false;
    ++walk_;
  }

  template <bool Const, typename Owner>
  static Iterator<Const> Start(Owner* owner) {
    owner->Merge();
    if (owner->order_.empty()) return Iterator<Const>(owner, kNone, 0, 0);
    return Iterator<Const>(owner, owner->order_[0], 0, owner->walk_);
  }

  // The place after record's in the order: known when the iterator walked the current
  // order, else found by name (a removed name's walk goes on at the next name).
  size_t NextPlace(uint32_t record, size_t place, uint64_t walk) const {
    Merge();
    if (walk == walk_ && !Removed(record)) return place + 1;
    std::string_view name = ViewOf(record);
    auto it = std::lower_bound(order_.begin(), order_.end(), name,
                               [this](uint32_t r, std::string_view n) { return ViewOf(r) < n; });
    size_t at = static_cast<size_t>(it - order_.begin());
    return Removed(record) ? at : at + 1;
  }

  std::vector<Slot> slots_;           // a power of two long, at most half full
  std::vector<unsigned char> arena_;  // records, kAlign-aligned, in the first used_ bytes
  size_t used_ = 0;
  size_t count_ = 0;
  size_t removedBytes_ = 0;           // arena bytes of removed names
  mutable std::vector<uint32_t> order_;    // records in byte order of their names
  mutable std::vector<uint32_t> pending_;  // records added out of order since the last walk
  mutable bool unmerged_ = false;          // order_ holds removed names
  mutable uint64_t walk_ = 1;              // changes whenever order_ is rebuilt
};

}  // namespace tolvane
