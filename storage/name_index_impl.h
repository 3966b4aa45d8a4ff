// NameIndex's table: adding and removing names, growing the slots and compacting the
// arena (see name_index.h, which includes this file at its end).
#pragma once

#include <algorithm>
#include <cstring>
#include <new>
#include <stdexcept>

#include "storage/name_index.h"

namespace tolvane {

template <typename V, typename Hash>
NameIndex<V, Hash>& NameIndex<V, Hash>::operator=(const NameIndex& other) {
  if (this == &other) return *this;
  clear();
  for (const auto& e : other) emplace(e.first, e.second);
  return *this;
}

template <typename V, typename Hash>
void NameIndex<V, Hash>::reserve(size_t names, size_t nameBytes) {
  size_t slots = slots_.empty() ? 16 : slots_.size();
  while ((count_ + names) * 2 > slots) slots *= 2;
  if (slots != slots_.size()) Rehash(slots);
  size_t need = used_ + names * Padded(0) + nameBytes + names * kAlign;
  if (need > arena_.size()) arena_.resize(need);
  order_.reserve(order_.size() + names);
}

template <typename V, typename Hash>
void NameIndex<V, Hash>::Take(NameIndex& other) noexcept {
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

template <typename V, typename Hash>
void NameIndex<V, Hash>::Rehash(size_t capacity) {
  std::vector<Slot> fresh(capacity);
  slots_.swap(fresh);
  for (const Slot& s : fresh) {
    if (s.record != kEmpty) PutSlot(s.hash, s.record);
  }
}

template <typename V, typename Hash>
std::pair<uint32_t, bool> NameIndex<V, Hash>::Add(std::string_view name, const V& value) {
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

template <typename V, typename Hash>
void NameIndex<V, Hash>::Remove(uint32_t record) {
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

template <typename V, typename Hash>
void NameIndex<V, Hash>::Compact() {
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

}  // namespace tolvane
