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

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <optional>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "storage/name_ref.h"

namespace tolvane {

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

  NameIndex() = default;
  NameIndex(const NameIndex& other) { *this = other; }
  NameIndex& operator=(const NameIndex& other);
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
  void reserve(size_t names, size_t nameBytes);

  // Forgets every name and gives the memory back.
  void clear() { *this = NameIndex(); }

 private:
  // Moves other's names here and leaves it empty.
  void Take(NameIndex& other) noexcept;

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
  void Rehash(size_t capacity);

  std::pair<uint32_t, bool> Add(std::string_view name, const V& value);

  // Linear probing without markers: the slots after a removed one move up when their home
  // allows it, so every name stays reachable from its home.
  void Remove(uint32_t record);

  // Copies the live records into a fresh arena, the ordered ones first and in order.
  void Compact();

  // Brings order_ up to date: the waiting names sorted and merged in, removed ones left out.
  void Merge() const;

  template <bool Const, typename Owner>
  static Iterator<Const> Start(Owner* owner) {
    owner->Merge();
    if (owner->order_.empty()) return Iterator<Const>(owner, kNone, 0, 0);
    return Iterator<Const>(owner, owner->order_[0], 0, owner->walk_);
  }

  // The place after record's in the order: known when the iterator walked the current
  // order, else found by name (a removed name's walk goes on at the next name).
  size_t NextPlace(uint32_t record, size_t place, uint64_t walk) const;

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

// The larger members, out of the class so that it reads as what it promises: the table,
// and the walk in byte order.
#include "storage/name_index_impl.h"   // IWYU pragma: export
#include "storage/name_index_order.h"  // IWYU pragma: export
