// NameIndex's walk in byte order of the names: the iterator, and the order it follows,
// brought up to date at the start of a walk (see name_index.h, which includes this file).
#pragma once

#include <algorithm>
#include <iterator>
#include <optional>

#include "storage/name_index.h"

namespace tolvane {

// Walks the names in byte order. It keeps the item it yields, so a reference to *it
// lives as long as the iterator and until it moves.
template <typename V, typename Hash>
template <bool Const>
class NameIndex<V, Hash>::Iterator {
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

template <typename V, typename Hash>
void NameIndex<V, Hash>::Merge() const {
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

template <typename V, typename Hash>
size_t NameIndex<V, Hash>::NextPlace(uint32_t record, size_t place, uint64_t walk) const {
  Merge();
  if (walk == walk_ && !Removed(record)) return place + 1;
  std::string_view name = ViewOf(record);
  auto it = std::lower_bound(order_.begin(), order_.end(), name,
                             [this](uint32_t r, std::string_view n) { return ViewOf(r) < n; });
  size_t at = static_cast<size_t>(it - order_.begin());
  return Removed(record) ? at : at + 1;
}

}  // namespace tolvane
